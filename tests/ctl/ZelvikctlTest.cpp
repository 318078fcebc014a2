// SPDX-License-Identifier: Apache-2.0
// zelvikctl end to end over virtual printers: each command's text and JSON,
// its exit statuses, device text kept off the terminal, output that cannot
// be written, and the stop signals during each kind of wait.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
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
        // The private directories go where the test can count them.
        std::filesystem::create_directory(runtime());
        ::chmod(runtime().c_str(), 0700);
    }
    void TearDown() override {
        // Every run, whatever its end, took its private directory with it.
        for (const auto& entry : std::filesystem::directory_iterator(runtime())) {
            EXPECT_NE(0u, entry.path().filename().string().rfind("zelvik-client-", 0)) << entry.path();
        }
    }
    std::string bus() const { return mDir.file("bus.xml"); }
    std::string runtime() const { return mDir.file("runtime"); }

    // zelvikctl with `arguments`, through `shell` ("exec \"$0\" \"$@\" ...")
    // when given.
    std::unique_ptr<Process> start(std::vector<std::string> arguments, const std::string& busFile = {},
                                   const std::string& shell = {}) {
        arguments.insert(arguments.begin(), {"--simulated", busFile.empty() ? bus() : busFile});
        std::string program = ZELVIKCTL_PROGRAM;
        if (!shell.empty()) {
            arguments.insert(arguments.begin(), {"-c", shell, program});
            program = "/bin/sh";
        }
        return std::make_unique<Process>(program, arguments, std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime()},
                                         std::vector<int>{}, mDir.file("run"));
    }
    Outcome finish(Process& process) {
        EXPECT_TRUE(process.waitFor(seconds(60)));
        return {process.exitCode(), readFile(mDir.file("run.out")), readFile(mDir.file("run.err"))};
    }
    Outcome run(std::vector<std::string> arguments, const std::string& busFile = {}, const std::string& shell = {}) {
        return finish(*start(std::move(arguments), busFile, shell));
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

TEST_F(Zelvikctl, AnAnonymizedRecordingKeepsNoTraceOfTheSerialNumber) {
    // The serial number in the string descriptor, in the device ID (with a
    // longer one beside it) and in an answer; recorded through zelvik-sim.
    const std::string serial = "Qx7-55231";
    const std::string owned = mDir.file("owned.xml"), recorded = mDir.file("recorded.xml");
    writeFile(owned, "<simulatedBus><device><deviceID>MFG:Zelvik;MDL:Owned;SN:" + serial + ";SERN:" + serial +
                         "-B;</deviceID><serialNumber>" + serial +
                         "</serialNumber><reply to='@PJL INFO CONFIG'>@PJL INFO CONFIG\\r\\nSERIAL NUMBER=" + serial +
                         "\\r\\n\\f</reply></device></simulatedBus>");
    const std::string uri = "usb://Zelvik/Owned?serial=" + serial;
    const Outcome record = run({"record", uri, "--anonymize", "--output", recorded}, owned);
    ASSERT_EQ(0, record.status) << record.err;
    EXPECT_NE(std::string::npos, record.out.find("it replays as usb://Zelvik/Owned?serial=X00000000")) << record.out;

    const std::string file = readFile(recorded);
    const auto hex = [](const std::string& text, bool wide, const char* format) {
        std::string out;
        char pair[8];
        for (const char c : text) {
            std::snprintf(pair, sizeof pair, format, static_cast<unsigned char>(c));
            out += pair + std::string(wide ? "00 " : "");
        }
        return out.substr(0, out.size() - 1);
    };
    for (const std::string& trace :
         {serial, std::string("QX7-55231"), std::string("qx7-55231"), hex(serial, false, "%02x "),
          hex(serial, true, "%02x "), hex(serial, false, "%02X "), hex(serial, true, "%02X ")}) {
        EXPECT_EQ(std::string::npos, file.find(trace)) << trace << " in\n" << file;
    }
    // The stand-in stands everywhere the serial number stood.
    const auto listed = nlohmann::json::parse(run({"--json", "list"}, recorded).out);
    EXPECT_EQ("usb://Zelvik/Owned?serial=X00000000", listed["printers"][0]["deviceURI"]);
    EXPECT_EQ("@PJL INFO CONFIG\r\nSERIAL NUMBER=X00000000\r\n\f",
              run({"pjl", "usb://Zelvik/Owned?serial=X00000000", "INFO CONFIG", "--raw"}, recorded).out);
    EXPECT_NE(std::string::npos, file.find(hex("SERN:Y0000000000;", false, "%02x ")));
}

// A printer that is not reached: EachFailureSaysWhyInTextAndJson.
TEST_F(Zelvikctl, EachFailureHasItsExitStatus) {
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string says;
    } cases[] = {
        {{"send", kFast, "/nonexistent/job.prn"}, 5, "/nonexistent/job.prn"},
        {{"--helper", "/nonexistent/zelvik-sim", "list"}, 7, "--helper"},
        {{"list", "--max", "x"}, 2, ""},
        {{}, 2, ""},
        // What the helper would refuse is refused in words.
        {{"list", "--max", "0"}, 2, "maximum of 0"},
        {{"pjl", kFast, "--timeout", "0", "INFO ID"}, 2, "time limit of 0 s"},
        {{"pjl", kFast, "--file", "/nonexistent/query.pjl"}, 5, "cannot read /nonexistent/query.pjl"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.empty() ? "no command" : c.arguments[0] + " " + c.arguments.back());
        const Outcome outcome = run(c.arguments);
        EXPECT_EQ(c.status, outcome.status) << outcome.err;
        EXPECT_NE(std::string::npos, outcome.err.find(c.says)) << outcome.err;
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
}

TEST_F(Zelvikctl, SendShowsEachFigureAndCtrlCCancelsIt) {
    writeData(700 * 1024);
    const Outcome sent = run({"send", kSlow, mDir.file("job.prn")});
    EXPECT_EQ(0, sent.status) << sent.err;
    EXPECT_EQ(0u, sent.out.find("0%\n"));
    EXPECT_NE(std::string::npos, sent.out.find("\n100%\nsent "));
    EXPECT_EQ(mData, readFile(mDir.file("Slow.bin")));

    // JSON: a line per figure, then the outcome's.
    const Outcome json = run({"--json", "send", kSlow, mDir.file("job.prn")});
    EXPECT_EQ(0, json.status) << json.err;
    std::vector<nlohmann::json> lines;
    std::istringstream out(json.out);
    for (std::string line; std::getline(out, line);) lines.push_back(nlohmann::json::parse(line));
    ASSERT_GE(lines.size(), 3u);
    int last = -1;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const int progress = lines[i]["progress"];
        EXPECT_GT(progress, last);
        last = progress;
        EXPECT_EQ(mData.size() * static_cast<std::size_t>(progress) / 100, lines[i]["bytesSent"]);
        EXPECT_EQ(mData.size(), lines[i]["bytesTotal"]);
    }
    EXPECT_EQ(false, lines.back()["cancelled"]);
    EXPECT_EQ(mData.size(), lines.back()["bytesSent"]);

    writeData(3 * 1024 * 1024);
    std::remove(mDir.file("Slow.bin").c_str());
    auto process = start({"send", kSlow, mDir.file("job.prn")});
    ASSERT_TRUE(eventually([&] { return readFile(mDir.file("run.out")).find("%\n", 3) != std::string::npos; }));
    process->signal(SIGINT);
    process->signal(SIGINT);  // while the cancel is under way: ignored
    const Outcome cancelled = finish(*process);
    EXPECT_EQ(130, cancelled.status);
    EXPECT_NE(std::string::npos, cancelled.out.find("%\ncancelled at ")) << cancelled.out;
    const std::string received = readFile(mDir.file("Slow.bin"));
    EXPECT_LT(received.size(), mData.size());
    EXPECT_EQ(mData.substr(0, received.size()), received);
}

TEST_F(Zelvikctl, ListWatchPrintsEachPrinterThatComesOrGoesUntilCtrlC) {
    std::filesystem::create_directory(mDir.file("watched"));
    const std::string watched = mDir.file("watched/bus.xml");
    auto replaceBus = [&](const std::string& text) {
        writeFile(watched + ".new", text);
        std::filesystem::rename(watched + ".new", watched);
    };
    auto lines = [&] {
        const std::string out = readFile(mDir.file("run.out"));
        return static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
    };
    // A model name that a terminal must not get as it is.
    const std::string odd = "<simulatedBus><device><deviceID>MFG:Zelvik;MDL:Odd\\x09\\x7F;</deviceID>"
                            "<serialNumber>O1</serialNumber></device></simulatedBus>";
    replaceBus(readFile(bus()));

    auto text = start({"list", "--watch"}, watched);
    ASSERT_TRUE(eventually([&] { return lines() == 3; }));
    replaceBus(odd);
    ASSERT_TRUE(eventually([&] { return lines() == 7; }));
    text->signal(SIGINT);
    const Outcome ended = finish(*text);
    EXPECT_EQ(130, ended.status);
    EXPECT_EQ("", ended.err);
    EXPECT_EQ("+ " + kFast + "\n+ " + kSlow + "\n+ " + kQuiet + "\n- " + kFast + "\n- " + kSlow + "\n- " + kQuiet +
                  "\n+ usb://Zelvik/Odd^I^??serial=O1\n",
              ended.out);

    auto json = start({"--json", "list", "--watch"}, watched);
    ASSERT_TRUE(eventually([&] { return lines() == 2; }));
    replaceBus(readFile(bus()));
    ASSERT_TRUE(eventually([&] { return lines() == 6; }));
    json->signal(SIGTERM);
    const Outcome jsonEnded = finish(*json);
    EXPECT_EQ(130, jsonEnded.status);
    std::vector<std::string> events;
    std::istringstream out(jsonEnded.out);
    for (std::string line; std::getline(out, line);) {
        const auto event = nlohmann::json::parse(line);
        if (event["event"] == "ready") {
            events.push_back("ready");
            continue;
        }
        events.push_back(event["event"].get<std::string>() + (event["initial"].get<bool>() ? " initial " : " ") +
                         event["printer"]["deviceURI"].get<std::string>());
    }
    // The first listing's end comes once, right after its printers.
    EXPECT_EQ((std::vector<std::string>{"added initial usb://Zelvik/Odd\t\x7F?serial=O1", "ready",
                                        "removed usb://Zelvik/Odd\t\x7F?serial=O1", "added " + kFast, "added " + kSlow,
                                        "added " + kQuiet}),
              events);

    // A first listing that fails ends the watch as it ends `list`.
    EXPECT_EQ(7, run({"--helper", mDir.file("missing-helper"), "list", "--watch"}, watched).status);
    EXPECT_EQ(2, run({"list", "--watch", "--max", "1"}).status);
}

TEST_F(Zelvikctl, EachFailureSaysWhyInTextAndJson) {
    writeFile(mDir.file("reasons.xml"),
              "<simulatedBus><device><deviceID>MFG:Zelvik;MDL:Held;</deviceID><serialNumber>H1</serialNumber>"
              "<interfaceHeldOpen>true</interfaceHeldOpen></device>"
              "<device><deviceID>MFG:Zelvik;MDL:Leaving;</deviceID><serialNumber>L1</serialNumber>"
              "<disconnectAfterBytes>100000</disconnectAfterBytes></device></simulatedBus>");
    const std::string held = "usb://Zelvik/Held?serial=H1";
    writeData(300 * 1024);
    const struct {
        std::vector<std::string> arguments;
        const char* reason;
        std::string says;
    } cases[] = {
        {{"pjl", "usb://Zelvik/Gone?serial=0", "INFO ID"}, "noSuchPrinter", "printer not found"},
        {{"pjl", held, "INFO ID"}, "printerHeld", "printer held by another program"},
        {{"send", "usb://Zelvik/Leaving?serial=L1", mDir.file("job.prn")}, "deviceGone", "the printer left the bus"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        const Outcome text = run(c.arguments, mDir.file("reasons.xml"));
        EXPECT_EQ(3, text.status);
        EXPECT_EQ(0u, text.err.find("zelvikctl: " + c.says + ": " + c.arguments[1] + "; ")) << text.err;
        EXPECT_EQ(1, std::count(text.err.begin(), text.err.end(), '\n'));
        std::vector<std::string> json = c.arguments;
        json.insert(json.begin(), "--json");
        const std::string out = run(json, mDir.file("reasons.xml")).out;
        // The error is the last document (a send's progress lines come first).
        const auto error = nlohmann::json::parse(out.substr(out.rfind("\n{", out.size() - 2) + 1))["error"];
        EXPECT_EQ(c.reason, error["reason"]);
        EXPECT_EQ(7, error["helperCode"]);
        EXPECT_TRUE(error["advice"].is_string());
    }
    // An active test that says False says why on the side.
    const Outcome inactive = run({"active", held}, mDir.file("reasons.xml"));
    EXPECT_EQ(1, inactive.status);
    EXPECT_EQ("False\n", inactive.out);
    EXPECT_EQ(0u, inactive.err.find("zelvikctl: printer held by another program")) << inactive.err;
    EXPECT_EQ("printerHeld",
              nlohmann::json::parse(run({"--json", "active", held}, mDir.file("reasons.xml")).out)["reason"]);
}

// Nothing but printable ASCII and line feeds.
bool terminalSafe(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == '\n' || (c >= 0x20 && c < 0x7F); });
}

TEST_F(Zelvikctl, DeviceTextIsShownVisibleAndEachFigureComesFromItsOwnBlock) {
    // Status reporting on: a USTATUS block comes before every answer, and
    // the display text tries to retitle and clear the terminal. The model
    // holds what XML carries but a terminal must not get: a tab, DEL and
    // the C1 control CSI.
    const std::string answer =
        "@PJL USTATUS DEVICE\\r\\nCODE=40038\\r\\nDISPLAY=\"LOW TONER\"\\r\\nONLINE=FALSE\\r\\n\\f"
        "@PJL INFO ID\\r\\n\"Zelvik LP-9\"\\r\\n\\f"
        "@PJL INFO STATUS\\r\\nCODE=10001\\r\\nDISPLAY=\"\\e]0;owned\\x07\\e[2J READY\"\\r\\n"
        "ONLINE=TRUE\\r\\n\\f"
        "@PJL INFO PAGECOUNT\\r\\n1234\\r\\n\\f";
    writeFile(mDir.file("hostile.xml"),
              "<simulatedBus><device><deviceID>MFG:Zelvik;MDL:Odd\\x09\\x7F\\xC2\\x9B;</deviceID>"
              "<serialNumber>O\\r1</serialNumber><answer>" +
                  answer + "</answer></device></simulatedBus>");
    const std::string uri = "usb://Zelvik/Odd\t\x7F\xC2\x9B?serial=O\r1";

    const Outcome info = run({"info", uri}, mDir.file("hostile.xml"));
    EXPECT_EQ(0, info.status) << info.err;
    EXPECT_EQ("model:       Zelvik LP-9\n"
              "status:      10001 \"^[]0;owned^G^[[2J READY\"\n"
              "online:      yes\n"
              "page count:  1234\n",
              info.out);
    const Outcome list = run({"list"}, mDir.file("hostile.xml"));
    EXPECT_EQ("MODEL            SERIAL  URI\n"
              "Odd^I^?\\xC2\\x9B  O^M1    usb://Zelvik/Odd^I^?\\xC2\\x9B?serial=O^M1\n",
              list.out);

    for (const auto& arguments : std::vector<std::vector<std::string>>{{"--json", "list"},
                                                                       {"--json", "info", uri},
                                                                       {"--json", "pjl", uri, "INFO ID"},
                                                                       {"pjl", uri, "INFO ID"}}) {
        SCOPED_TRACE(arguments[1]);
        const Outcome outcome = run(arguments, mDir.file("hostile.xml"));
        EXPECT_EQ(0, outcome.status) << outcome.err;
        EXPECT_TRUE(terminalSafe(outcome.out)) << outcome.out;
        if (arguments[0] != "--json") continue;
        // The JSON holds the text exactly.
        const auto json = nlohmann::json::parse(outcome.out);
        if (arguments[1] == "list") {
            EXPECT_EQ(uri, json["printers"][0]["deviceURI"]);
        } else if (arguments[1] == "info") {
            EXPECT_EQ("\x1b]0;owned\x07\x1b[2J READY", json["display"]);
        }
    }
}

TEST_F(Zelvikctl, OutputThatCannotBeWrittenFails) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{{"list"},
                                                                       {"list", "--watch"},
                                                                       {"--json", "active", kFast},
                                                                       {"pjl", kFast, "INFO ID"}}) {
        SCOPED_TRACE(arguments[0]);
        const Outcome outcome = run(arguments, {}, "exec \"$0\" \"$@\" >/dev/full");
        EXPECT_EQ(8, outcome.status);
        EXPECT_EQ("zelvikctl: cannot write the output: No space left on device\n", outcome.err);
    }
}

// Whether a process has its handler for `number` in place.
bool catches(pid_t pid, int number) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (number - 1) & 1) != 0;
    }
    return false;
}

TEST_F(Zelvikctl, EveryCommandEndsPromptlyOnAStopSignal) {
    // A helper that takes its time over a listing or an active test, a
    // printer that does not answer, and a FIFO nobody writes.
    writeFile(mDir.file("slow-helper.sh"), "#!/bin/sh\nexec sleep 30\n");
    ::chmod(mDir.file("slow-helper.sh").c_str(), 0700);
    writeFile(mDir.file("nothing.pjl"), "no question here");
    ASSERT_EQ(0, ::mkfifo(mDir.file("fifo").c_str(), 0600));
    const struct {
        std::vector<std::string> arguments;
        int signal;
    } cases[] = {
        {{"--helper", mDir.file("slow-helper.sh"), "list"}, SIGINT},
        {{"--helper", mDir.file("slow-helper.sh"), "active", kFast}, SIGTERM},
        {{"--helper", mDir.file("slow-helper.sh"), "list", "--watch"}, SIGHUP},
        {{"pjl", kQuiet, "--timeout", "30", "--file", mDir.file("nothing.pjl")}, SIGHUP},
        {{"pjl", kFast, "--file", mDir.file("fifo")}, SIGQUIT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments[c.arguments.size() - 2]);
        auto process = start(c.arguments);
        ASSERT_TRUE(eventually([&] { return catches(process->pid(), c.signal); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto signalled = std::chrono::steady_clock::now();
        process->signal(c.signal);
        ASSERT_TRUE(process->waitFor(seconds(10)));
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, seconds(5));
        EXPECT_EQ(130, process->exitCode());
    }

    // A FIFO is read as far as a request can go, not to its end.
    const int writer = ::open(mDir.file("fifo").c_str(), O_RDWR);
    ASSERT_GE(writer, 0);
    const std::string query(4096, 'x');
    ASSERT_EQ(static_cast<ssize_t>(query.size()), ::write(writer, query.data(), query.size()));
    auto process = start({"pjl", kFast, "--file", mDir.file("fifo")});
    const bool ended = process->waitFor(seconds(10));
    ::close(writer);
    ASSERT_TRUE(ended);
    EXPECT_EQ(5, process->exitCode());
    EXPECT_NE(std::string::npos, readFile(mDir.file("run.err")).find("more than 2047 bytes"));
}

// A monitor of its own, polling `info` beside a loop of sends to the same
// printer: every send ends 0 with the whole file, every info with the
// figures or "busy". ZELVIK_STRESS_JOBS sets the number of sends.
using ZelvikctlStress = Zelvikctl;

TEST_F(ZelvikctlStress, SendsBesideAnInfoMonitor) {
    const char* asked = std::getenv("ZELVIK_STRESS_JOBS");
    const int jobs = asked != nullptr && *asked != 0 ? std::atoi(asked) : 10;
    writeFile(mDir.file("monitored.xml"),
              "<simulatedBus><device><deviceID>MFG:Zelvik;MDL:Monitored;</deviceID><serialNumber>M1</serialNumber>"
              "<captureFile>" +
                  mDir.file("Monitored.bin") +
                  "</captureFile><answerDelayMs>20</answerDelayMs></device></simulatedBus>");
    const std::string uri = "usb://Zelvik/Monitored?serial=M1";
    auto monitor =
        start({"info", uri}, mDir.file("monitored.xml"),
              "while [ ! -e " + mDir.file("stop") + " ]; do \"$0\" \"$@\" >/dev/null 2>>" + mDir.file("monitor.err") +
                  "; echo $? >>" + mDir.file("monitor.status") + "; sleep 0.05; done");
    writeData(96 * 1024);
    int failed = 0;
    for (int i = 0; i < jobs; ++i) {
        [[maybe_unused]] const int emptied = ::truncate(mDir.file("Monitored.bin").c_str(), 0);
        const Outcome sent = run({"send", uri, mDir.file("job.prn")}, mDir.file("monitored.xml"));
        const std::string received = readFile(mDir.file("Monitored.bin"));
        const std::size_t at = received.find(mData);
        if (sent.status != 0 || at == std::string::npos || received.find(mData, at + 1) != std::string::npos) {
            ++failed;
            ADD_FAILURE() << "send " << i << ": " << sent.status << " " << sent.err;
        }
    }
    writeFile(mDir.file("stop"), "");
    ASSERT_TRUE(monitor->waitFor(seconds(30)));
    const std::string statuses = readFile(mDir.file("monitor.status"));
    std::cout << "[ figure   ] " << failed << " of " << jobs
              << " sends failed; info: " << std::count(statuses.begin(), statuses.end(), '0') << " answered, "
              << std::count(statuses.begin(), statuses.end(), '3') << " busy\n";
    EXPECT_EQ(0, failed);
    EXPECT_NE(std::string::npos, statuses.find('0'));
    EXPECT_EQ(std::string::npos, statuses.find_first_not_of("03\n")) << statuses;
    std::istringstream errors(readFile(mDir.file("monitor.err")));
    for (std::string line; std::getline(errors, line);) {
        EXPECT_NE(std::string::npos, line.find("busy: a job is printing")) << line;
    }
}

}  // namespace
}  // namespace zelvik::test
