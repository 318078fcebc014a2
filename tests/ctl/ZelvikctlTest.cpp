// SPDX-License-Identifier: Apache-2.0
// zelvikctl end to end over virtual printers: each command's text and JSON,
// its exit statuses, and Ctrl-C during a send.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/Process.h"
#include "support/TempDir.h"

namespace zelvik::test {
namespace {

using std::chrono::seconds;

const std::string kFast = "usb://Zelvik/Fast?serial=F1";
const std::string kSlow = "usb://Zelvik/Slow?serial=S1";
const std::string kQuiet = "usb://Zelvik/Quiet?serial=Q1";

struct Outcome {
    int status;
    std::string out, err;
};

class Zelvikctl : public ::testing::Test {
protected:
    void SetUp() override {
        auto device = [this](const std::string& model, const std::string& extra) {
            return "<device><deviceID>MFG:Zelvik;MDL:" + model + ";</deviceID><serialNumber>" + model.substr(0, 1) +
                   "1</serialNumber><captureFile>" + mDir.file(model + ".bin") + "</captureFile>" + extra + "</device>";
        };
        writeFile(bus(), "<simulatedBus>" + device("Fast", "<pageCount>42</pageCount>") +
                             device("Slow", "<acceptBytesPerSecond>300000</acceptBytesPerSecond>") +
                             device("Quiet", "") + "</simulatedBus>");
        writeFile(mDir.file("empty.xml"), "<simulatedBus></simulatedBus>");
    }
    std::string bus() const { return mDir.file("bus.xml"); }

    std::unique_ptr<Process> start(std::vector<std::string> arguments, const std::string& busFile = {}) {
        arguments.insert(arguments.begin(), {"--simulated", busFile.empty() ? bus() : busFile});
        return std::make_unique<Process>(ZELVIKCTL_PROGRAM, arguments, std::vector<std::string>{}, std::vector<int>{},
                                         mDir.file("run"));
    }
    Outcome finish(Process& process) {
        EXPECT_TRUE(process.waitFor(seconds(60)));
        return {process.exitCode(), readFile(mDir.file("run.out")), readFile(mDir.file("run.err"))};
    }
    Outcome run(std::vector<std::string> arguments, const std::string& busFile = {}) {
        return finish(*start(std::move(arguments), busFile));
    }
    void writeData(std::size_t size) {
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 13 + i / 1000);
        mData = data;
        writeFile(mDir.file("job.prn"), data);
    }

    TempDir mDir;
    std::string mData;
};

TEST_F(Zelvikctl, ListAsTableAndAsJson) {
    Outcome list = run({"list"});
    EXPECT_EQ(0, list.status);
    EXPECT_EQ("MODEL  SERIAL  URI\n"
              "Fast   F1      " +
                  kFast +
                  "\n"
                  "Slow   S1      " +
                  kSlow +
                  "\n"
                  "Quiet  Q1      " +
                  kQuiet + "\n",
              list.out);
    const std::string one = run({"list", "--max", "1"}).out;
    EXPECT_EQ(2, std::count(one.begin(), one.end(), '\n'));
    EXPECT_EQ("no printers found\n", run({"list"}, mDir.file("empty.xml")).out);

    const auto json = nlohmann::json::parse(run({"--json", "list"}).out);
    ASSERT_EQ(3u, json["printers"].size());
    EXPECT_EQ(kSlow, json["printers"][1]["deviceURI"]);
    EXPECT_EQ("S1", json["printers"][1]["serialNumber"]);
}

TEST_F(Zelvikctl, PjlInfoAndActive) {
    const Outcome pjl = run({"pjl", kFast, "INFO PAGECOUNT"});
    EXPECT_EQ(0, pjl.status);
    EXPECT_EQ("@PJL INFO PAGECOUNT^M\n42^M\n^L\n", pjl.out);
    EXPECT_EQ("@PJL INFO PAGECOUNT\r\n42\r\n\f", run({"pjl", kFast, "INFO PAGECOUNT", "--raw"}).out);
    EXPECT_EQ("@PJL INFO PAGECOUNT\r\n42\r\n\f",
              nlohmann::json::parse(run({"--json", "pjl", kFast, "INFO PAGECOUNT"}).out)["answer"]);

    const Outcome info = run({"info", kFast});
    EXPECT_EQ(0, info.status);
    EXPECT_EQ("model:       Fast\n"
              "status:      10001 \"Ready\"\n"
              "online:      yes\n"
              "page count:  42\n",
              info.out);
    const auto infoJson = nlohmann::json::parse(run({"--json", "info", kFast}).out);
    EXPECT_EQ(42, infoJson["pageCount"]);
    EXPECT_EQ(true, infoJson["online"]);

    EXPECT_EQ("True\n", run({"active", kFast}).out);
    const Outcome inactive = run({"active", "usb://Zelvik/Gone?serial=0"});
    EXPECT_EQ(1, inactive.status);
    EXPECT_EQ("False\n", inactive.out);
    EXPECT_EQ(false, nlohmann::json::parse(run({"--json", "active", "usb://Zelvik/Gone?serial=0"}).out)["active"]);
}

TEST_F(Zelvikctl, EachFailureHasItsExitStatusAndOneLine) {
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string says;
    } cases[] = {
        {{"pjl", "usb://Zelvik/Gone?serial=0", "INFO ID"}, 3, "see 'zelvikctl list'"},
        {{"send", kFast, "/nonexistent/job.prn"}, 5, "/nonexistent/job.prn"},
        {{"--helper", "/nonexistent/zelvik-sim", "list"}, 7, "--helper"},
        {{"list", "--max", "x"}, 2, ""},
        {{}, 2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.empty() ? "no command" : c.arguments[0] + " " + c.arguments.back());
        const Outcome outcome = run(c.arguments);
        EXPECT_EQ(c.status, outcome.status) << outcome.err;
        EXPECT_NE(std::string::npos, outcome.err.find(c.says)) << outcome.err;
        if (c.status == 3) {
            EXPECT_EQ(1, std::count(outcome.err.begin(), outcome.err.end(), '\n'));
        }
    }
    writeFile(mDir.file("nothing.pjl"), "no question here");
    EXPECT_EQ(4, run({"pjl", kQuiet, "--timeout", "1", "--file", mDir.file("nothing.pjl")}).status);
    // A bus file that says something wrong, or none at all, is named with
    // the line and the element at fault.
    writeFile(mDir.file("wrong.xml"), "<simulatedBus><device>\n<statusCod>1</statusCod></device></simulatedBus>");
    const Outcome wrong = run({"list"}, mDir.file("wrong.xml"));
    EXPECT_EQ(2, wrong.status);
    EXPECT_EQ("zelvikctl: request refused: " + mDir.file("wrong.xml") + ":2: <statusCod>: not a bus file element\n",
              wrong.err);
    const Outcome json = run({"--json", "active", kFast}, mDir.file("missing-bus.xml"));
    EXPECT_EQ(2, json.status);
    EXPECT_NE(std::string::npos, json.err.find("missing-bus.xml: not a readable regular file")) << json.err;
    const Outcome error = run({"--json", "pjl", "usb://Zelvik/Gone?serial=0", "INFO ID"});
    EXPECT_EQ(7, nlohmann::json::parse(error.out)["error"]["helperCode"]);
}

TEST_F(Zelvikctl, SendShowsEachFigureAndCtrlCCancelsIt) {
    writeData(700 * 1024);
    const Outcome sent = run({"send", kSlow, mDir.file("job.prn")});
    EXPECT_EQ(0, sent.status) << sent.err;
    EXPECT_EQ(0u, sent.out.find("0%\n"));
    EXPECT_NE(std::string::npos, sent.out.find("\n100%\nsent "));
    EXPECT_EQ(mData, readFile(mDir.file("Slow.bin")));

    writeData(3 * 1024 * 1024);
    std::remove(mDir.file("Slow.bin").c_str());
    auto process = start({"send", kSlow, mDir.file("job.prn")});
    ASSERT_TRUE(eventually([&] { return readFile(mDir.file("run.out")).find("%\n", 3) != std::string::npos; }));
    process->signal(SIGINT);
    process->signal(SIGINT);  // while the cancel is under way: ignored
    const Outcome cancelled = finish(*process);
    EXPECT_EQ(130, cancelled.status);
    EXPECT_EQ(0u, cancelled.err.find("cancelled at ")) << cancelled.err;
    const std::string received = readFile(mDir.file("Slow.bin"));
    EXPECT_LT(received.size(), mData.size());
    EXPECT_EQ(mData.substr(0, received.size()), received);
}

}  // namespace
}  // namespace zelvik::test
