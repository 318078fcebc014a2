// SPDX-License-Identifier: Apache-2.0
// The command file protocol: intake, refusals, parameter checks, the
// status file.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>

#include "e2e/Harness.h"

namespace zelvik::test {
namespace {

using std::chrono::seconds;

class CommandIntake : public SimProgramTest {
protected:
    void SetUp() override { setBus(""); }

    // Every file of the working directory with its content.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(mDir.path()))
            files[entry.path().filename()] = readFile(entry.path());
        return files;
    }
};

TEST_F(CommandIntake, ProcessCancelWritesStatusZeroAndConsumesTheCommandFile) {
    writeCommand({{"command", "processCancel"}, {"statusFilePath", statusPath()}});
    run();
    EXPECT_EQ(kStatusZero, readFile(statusPath()));
    EXPECT_FALSE(exists(commandPath()));
}

TEST_F(CommandIntake, WrongArgumentCountQuitsAtOnceTouchingNothing) {
    writeCommand({{"command", "processCancel"}, {"statusFilePath", statusPath()}});
    const auto before = snapshot();
    for (const auto& arguments : {std::vector<std::string>{}, {commandPath(), commandPath()}}) {
        auto process = start(arguments);
        ASSERT_TRUE(process->waitFor(seconds(5)));
        EXPECT_EQ(before, snapshot());
    }
}

TEST_F(CommandIntake, RefusedCommandFilesStayAndNoStatusIsWritten) {
    struct Case {
        const char* what;
        std::string content;
    };
    const std::string status = statusPath();
    const std::vector<Case> cases = {
        {"no statusFilePath", commandXml({{"command", "processCancel"}})},
        {"malformed XML",
         "<commandBody><command>processCancel</command><statusFilePath>" + status + "</statusFilePath>"},
        {"empty file", ""},
        {"text instead of parameters", "<commandBody>" + status + "</commandBody>"},
        {"statusFilePath holding elements", "<commandBody><command>processCancel</command><statusFilePath><a>" +
                                                status + "</a></statusFilePath></commandBody>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(commandPath(), c.content);
        run();
        EXPECT_EQ(c.content, readFile(commandPath()));
        EXPECT_FALSE(exists(status));
    }
}

TEST_F(CommandIntake, AnythingAtTheStatusPathRefusesTheCommandAndIsNeverTouched) {
    // Whatever stands there, no status could replace it: the job is not
    // sent, and the command file stays.
    setBus("<device><deviceID>MFG:Zelvik;MDL:LP-100;</deviceID><serialNumber>A1</serialNumber><captureFile>" +
           capture() + "</captureFile></device>");
    writeFile(path("print.bin"), "job");
    const std::string status = statusPath();
    const std::vector<std::pair<const char*, std::function<void()>>> occupants = {
        {"an earlier status file", [&] { writeFile(status, "earlier status"); }},
        {"a file this user may not read", [&] { writeFile(status, "secret"), ::chmod(status.c_str(), 0); }},
        {"a directory", [&] { std::filesystem::create_directory(status); }},
        {"a FIFO", [&] { ::mkfifo(status.c_str(), 0600); }},
        {"a link to nothing", [&] { std::filesystem::create_symlink(path("nowhere"), status); }},
    };
    for (const auto& [what, occupy] : occupants) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(status);
        occupy();
        struct stat before {};
        ASSERT_EQ(0, ::lstat(status.c_str(), &before));
        writeCommand(dataOutputCommand());
        const std::string command = readFile(commandPath());
        run();
        EXPECT_EQ(command, readFile(commandPath()));
        EXPECT_EQ("", readFile(capture()));
        EXPECT_FALSE(exists(response()));
        struct stat after {};
        ASSERT_EQ(0, ::lstat(status.c_str(), &after));
        EXPECT_EQ(before.st_ino, after.st_ino);
        EXPECT_EQ(before.st_mode, after.st_mode);
        EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
        EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    }
}

TEST_F(CommandIntake, MissingCommandFileEndsQuietly) {
    run();
    EXPECT_TRUE(snapshot().size() == 1);  // the bus file alone
}

TEST_F(CommandIntake, StatusInMissingDirectoryIsNotWrittenAndTheProgramStillEnds) {
    writeCommand({{"command", "processCancel"}, {"statusFilePath", path("missing/status.xml")}});
    run();
    EXPECT_FALSE(exists(path("missing")));
    EXPECT_FALSE(exists(commandPath()));
}

TEST_F(CommandIntake, UnknownOrIncompleteCommandsAnswerOne) {
    const std::string s = statusPath();
    const std::string list = path("list.xml");
    const std::string out = path("out.bin");
    const std::string resp = path("resp.txt");
    const std::string uri = "usb://A/B?serial=1";
    using Elements = std::vector<std::pair<std::string, std::string>>;
    const std::vector<std::pair<const char*, Elements>> cases = {
        {"unknown command", {{"command", "printEverything"}, {"statusFilePath", s}}},
        {"command of another case", {{"command", "processcancel"}, {"statusFilePath", s}}},
        {"empty command", {{"command", ""}, {"statusFilePath", s}}},
        {"missing command", {{"statusFilePath", s}}},
        {"list without path", {{"command", "getPrinterList"}, {"statusFilePath", s}, {"printerListMax", "5"}}},
        {"list without max", {{"command", "getPrinterList"}, {"statusFilePath", s}, {"printerListFilePath", list}}},
        {"list max 0",
         {{"command", "getPrinterList"},
          {"statusFilePath", s},
          {"printerListFilePath", list},
          {"printerListMax", "0"}}},
        {"list max not a number",
         {{"command", "getPrinterList"},
          {"statusFilePath", s},
          {"printerListFilePath", list},
          {"printerListMax", "many"}}},
        {"PJL without timeOut",
         {{"command", "sendPJLCommand"},
          {"statusFilePath", s},
          {"deviceURI", uri},
          {"outputFilePath", out},
          {"responseFilePath", resp}}},
        {"PJL timeOut 0",
         {{"command", "sendPJLCommand"},
          {"statusFilePath", s},
          {"deviceURI", uri},
          {"outputFilePath", out},
          {"responseFilePath", resp},
          {"timeOut", " 0s"}}},
        {"PJL without device",
         {{"command", "sendPJLCommand"},
          {"statusFilePath", s},
          {"outputFilePath", out},
          {"responseFilePath", resp},
          {"timeOut", "5"}}},
        {"data without response",
         {{"command", "dataOutput"}, {"statusFilePath", s}, {"deviceURI", uri}, {"outputFilePath", out}}},
        {"data without output",
         {{"command", "dataOutput"}, {"statusFilePath", s}, {"deviceURI", uri}, {"responseFilePath", resp}}},
        {"active without device", {{"command", "isMachineActive"}, {"statusFilePath", s}, {"responseFilePath", resp}}},
        {"active without response", {{"command", "isMachineActive"}, {"statusFilePath", s}, {"deviceURI", uri}}},
    };
    for (const auto& [what, elements] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(statusFileFor(1), runCommand(elements));
        EXPECT_FALSE(exists(list));
        EXPECT_FALSE(exists(resp));
    }
}

TEST_F(CommandIntake, RepeatedParameterCountsAsMissing) {
    writeFile(commandPath(), "<commandBody><command>getPrinterList</command><statusFilePath>" + statusPath() +
                                 "</statusFilePath><printerListFilePath>" + path("a.xml") +
                                 "</printerListFilePath><printerListFilePath>" + path("b.xml") +
                                 "</printerListFilePath><printerListMax>3</printerListMax></commandBody>");
    run();
    EXPECT_EQ(statusFileFor(1), readFile(statusPath()));
}

TEST_F(CommandIntake, IntegerParametersTakeTheirLeadingNumber) {
    // "15 seconds" is 15, and a negative maximum reaches the listing.
    EXPECT_EQ(kStatusZero, runCommand({{"command", "getPrinterList"},
                                       {"statusFilePath", statusPath()},
                                       {"printerListFilePath", path("list.xml")},
                                       {"printerListMax", " -1 x"}}));
    EXPECT_TRUE(exists(path("list.xml")));
}

}  // namespace
}  // namespace zelvik::test

namespace zelvik::test {
namespace {

TEST_F(CommandIntake, OversizedCommandFileIsRefusedAndLeftInPlace) {
    const std::string padding(300 * 1024, ' ');
    writeFile(commandPath(), commandXml({{"command", "processCancel"}, {"statusFilePath", statusPath()}}) + padding);
    run();
    EXPECT_TRUE(exists(commandPath()));
    EXPECT_FALSE(exists(statusPath()));
}

}  // namespace
}  // namespace zelvik::test
