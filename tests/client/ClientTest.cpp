// SPDX-License-Identifier: Apache-2.0
// The client library against zelvik-sim: each command and each kind of
// error, cancels at every moment, progress, jobs side by side, runs on one
// printer taking turns, the reason of each failure, and the private
// directories gone afterwards.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <thread>

#include "support/Process.h"
#include "support/TempDir.h"
#include "zelvik/client.h"

namespace zelvik::test {
namespace {

using namespace zelvik::client;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

const std::string kFast = "usb://Zelvik/Fast?serial=F1";
const std::string kSlow = "usb://Zelvik/Slow?serial=S1";
const std::string kQuiet = "usb://Zelvik/Quiet?serial=Q1";
// Bytes no virtual printer answers.
const std::string kNoQuestion = "no question here";

class Client : public ::testing::Test {
protected:
    void SetUp() override {
        // The private directories go where the test can count them.
        std::filesystem::create_directory(runtime());
        ::chmod(runtime().c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", runtime().c_str(), 1);
        writeFile(mDir.file("bus.xml"),
                  "<simulatedBus>" + device("Fast", "F1", "fast.bin", "<pageCount>42</pageCount>") +
                      device("Slow", "S1", "slow.bin", "<acceptBytesPerSecond>400000</acceptBytesPerSecond>") +
                      device("Quiet", "Q1", "quiet.bin", "") + "</simulatedBus>");
        helper = Helper::simulated(mDir.file("bus.xml"), ZELVIK_SIM_PROGRAM);
    }
    void TearDown() override {
        // Every run, whatever its end, took its private directory with it
        // (the helper keeps its rendezvous there too).
        for (const auto& entry : std::filesystem::directory_iterator(runtime())) {
            EXPECT_NE(0u, entry.path().filename().string().rfind("zelvik-client-", 0)) << entry.path();
        }
        ::unsetenv("XDG_RUNTIME_DIR");
    }

    std::string device(const std::string& model, const std::string& serial, const std::string& capture,
                       const std::string& extra) {
        return "<device><deviceID>MFG:Zelvik;MDL:" + model + ";</deviceID><serialNumber>" + serial +
               "</serialNumber><captureFile>" + mDir.file(capture) + "</captureFile>" + extra + "</device>";
    }
    std::string runtime() const { return mDir.file("runtime"); }
    // An executable shell script standing in for the helper.
    std::string script(const std::string& name, const std::string& body) {
        writeFile(mDir.file(name), "#!/bin/sh\n" + body + "\n");
        ::chmod(mDir.file(name).c_str(), 0700);
        return mDir.file(name);
    }
    std::string patternedFile(const std::string& name, std::size_t size) {
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 4096) & 0xff);
        writeFile(mDir.file(name), data);
        return data;
    }

    TempDir mDir;
    Helper helper;
};

TEST_F(Client, ShortCommands) {
    const auto all = listPrinters(helper);
    ASSERT_TRUE(all) << all.error().message();
    ASSERT_EQ(3u, all->size());
    EXPECT_EQ("Fast", (*all)[0].modelName);
    EXPECT_EQ("F1", (*all)[0].serialNumber);
    EXPECT_EQ(kFast, (*all)[0].deviceURI);
    const auto one = listPrinters(helper, 1);
    ASSERT_TRUE(one);
    EXPECT_EQ(1u, one->size());

    writeFile(mDir.file("empty.xml"), "<simulatedBus></simulatedBus>");
    const auto none = listPrinters(Helper::simulated(mDir.file("empty.xml"), ZELVIK_SIM_PROGRAM));
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());

    const auto answer = sendPJL(helper, kFast, pjlRequest({"INFO PAGECOUNT"}), seconds(5));
    ASSERT_TRUE(answer) << answer.error().message();
    EXPECT_EQ("@PJL INFO PAGECOUNT\r\n42\r\n\f", *answer);
    EXPECT_EQ("\x1b%-12345X@PJL INFO ID\r\n@PJL ECHO x\r\n\x1b%-12345X", pjlRequest({"INFO ID", "@PJL ECHO x"}));

    EXPECT_TRUE(*isMachineActive(helper, kFast));
    EXPECT_FALSE(*isMachineActive(helper, "usb://Zelvik/Gone?serial=0"));
}

TEST_F(Client, EachKindOfError) {
    auto expectError = [](const auto& result, ErrorKind kind, int code) {
        ASSERT_FALSE(result);
        EXPECT_EQ(kind, result.error().kind()) << result.error().message();
        EXPECT_EQ(code, result.error().code());
        EXPECT_FALSE(result.error().message().empty());
    };
    expectError(sendPJL(helper, "usb://Zelvik/Gone?serial=0", "@PJL\r\n", seconds(1)), ErrorKind::helperReported, 7);
    expectError(sendPJL(helper, kQuiet, kNoQuestion, seconds(1)), ErrorKind::helperReported, 8);
    expectError(sendPJL(helper, kFast, std::string(2048, 'x'), seconds(1)), ErrorKind::badRequest, 0);
    // What the helper would refuse as "a missing parameter" is refused in
    // words naming the value or the parameter, before it starts.
    auto errorOf = [](const auto& result) { return result ? std::optional<Error>() : result.error(); };
    const std::pair<std::optional<Error>, const char*> refusals[] = {
        {errorOf(listPrinters(helper, 0)), "maximum of 0"},
        {errorOf(sendPJL(helper, kFast, "@PJL\r\n", seconds(0))), "time limit of 0 s"},
        {errorOf(Job::pjl(helper, kFast, "@PJL\r\n", seconds(-3)).wait()), "time limit of -3 s"},
        {errorOf(sendPJL(helper, "usb://Zelvik/Fast\x01?serial=F1", "@PJL\r\n", seconds(1))), "the device URI"},
    };
    for (const auto& [error, says] : refusals) {
        ASSERT_TRUE(error) << says;
        EXPECT_EQ(ErrorKind::badRequest, error->kind());
        EXPECT_NE(std::string::npos, error->message().find(says)) << error->message();
    }
    expectError(printFile(helper, kFast, mDir.file("missing.prn")), ErrorKind::helperReported, 4);
    expectError(listPrinters(Helper{mDir.file("no-such-helper"), {}}), ErrorKind::startFailed, 0);
    // A bus file the simulating helper would refuse is refused before it
    // starts, naming the line and the element.
    writeFile(mDir.file("wrong.xml"), "<simulatedBus>\n<device><answer when='x'/></device></simulatedBus>");
    const auto wrong = listPrinters(Helper::simulated(mDir.file("wrong.xml"), ZELVIK_SIM_PROGRAM));
    expectError(wrong, ErrorKind::badRequest, 0);
    EXPECT_EQ(mDir.file("wrong.xml") + ":2: <answer>: unknown attribute 'when'", wrong.error().detail());
    // A helper that ends without a status: it refused the command file, or
    // it was killed.
    expectError(listPrinters(Helper{"/bin/true", {}}), ErrorKind::noStatus, 0);
    writeFile(mDir.file("killed.sh"), "#!/bin/sh\nkill -9 $$\n");
    ::chmod(mDir.file("killed.sh").c_str(), 0700);
    const auto killed = isMachineActive(Helper{mDir.file("killed.sh"), {}}, kFast);
    expectError(killed, ErrorKind::noStatus, 0);
    EXPECT_NE(std::string::npos, killed.error().message().find("signal 9"));
}

TEST_F(Client, APrintReportsRisingProgressToTheEnd) {
    // An awkward path: blanks, quotes, markup and non-ASCII letters.
    const std::string name = "job \"Zürich\" & <ĉefo>'s.prn";
    const std::string data = patternedFile(name, 1200 * 1024);
    std::vector<int> figures;
    const auto done = printFile(helper, kSlow, mDir.file(name), [&](int percent) { figures.push_back(percent); });
    ASSERT_TRUE(done) << done.error().message();
    EXPECT_FALSE(done->cancelled);
    EXPECT_EQ(100, done->progress);
    ASSERT_GE(figures.size(), 3u);  // about three seconds at this rate
    EXPECT_EQ(0, figures.front());
    EXPECT_EQ(100, figures.back());
    EXPECT_TRUE(std::is_sorted(figures.begin(), figures.end()));
    EXPECT_EQ(figures.end(), std::adjacent_find(figures.begin(), figures.end()));
    EXPECT_EQ(data, readFile(mDir.file("slow.bin")));
}

TEST_F(Client, AFileNameXmlCannotCarryIsSentThroughALink) {
    for (const std::string name : {"job \x01\x1b[2J.prn", "job \xff\xfe.prn"}) {
        SCOPED_TRACE(name);
        const std::string data = patternedFile(name, 100 * 1024);
        std::remove(mDir.file("fast.bin").c_str());
        const auto done = printFile(helper, kFast, mDir.file(name));
        ASSERT_TRUE(done) << done.error().message();
        EXPECT_EQ(100, done->progress);
        EXPECT_EQ(data, readFile(mDir.file("fast.bin")));
    }
}

TEST_F(Client, AListingOrActiveTestEndsAtOnceOnCancel) {
    // A helper that takes its time: the short commands have no cancel
    // point, so a cancel ends the helper.
    writeFile(mDir.file("slow-helper.sh"), "#!/bin/sh\nexec sleep 30\n");
    ::chmod(mDir.file("slow-helper.sh").c_str(), 0700);
    const Helper slow{mDir.file("slow-helper.sh"), {}};
    for (const bool listing : {true, false}) {
        Job job = listing ? Job::list(slow) : Job::active(slow, kFast);
        const auto started = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(milliseconds(200));
        job.cancel();
        const auto& done = job.wait();
        ASSERT_TRUE(done) << done.error().message();
        EXPECT_TRUE(done->cancelled);
        EXPECT_LT(std::chrono::steady_clock::now() - started, seconds(5));
    }
    const auto listed = Job::list(helper, 2).wait();
    ASSERT_TRUE(listed);
    EXPECT_EQ(2u, listed->printers.size());
    EXPECT_TRUE(Job::active(helper, kFast).wait()->active);
}

TEST_F(Client, CancelAtAnyMomentEndsTheJobWithNothingLost) {
    const std::string data = patternedFile("print.prn", 600 * 1024);
    std::mt19937 random(20261207);
    for (int round = 0; round < 14; ++round) {
        SCOPED_TRACE(round);
        std::remove(mDir.file("slow.bin").c_str());
        // From "before the helper took its command" to well into the transfer.
        const auto delay = milliseconds(round < 4 ? 0 : std::uniform_int_distribution<int>(1, 1500)(random));
        Job job = Job::print(helper, kSlow, mDir.file("print.prn"));
        std::this_thread::sleep_for(delay);
        job.cancel();
        const auto& done = job.wait();
        ASSERT_TRUE(done) << done.error().message();
        const std::string sent = readFile(mDir.file("slow.bin"));
        if (done->cancelled) {
            EXPECT_LT(sent.size(), data.size());
            EXPECT_EQ(data.substr(0, sent.size()), sent);
            EXPECT_LT(done->progress, 100);
        } else {
            EXPECT_EQ(data, sent);
            EXPECT_EQ(100, done->progress);
        }
    }
}

TEST_F(Client, ACancelDuringTheTransferStopsItAndOneAfterTheEndDoesNothing) {
    const std::string data = patternedFile("print.prn", 2 * 1024 * 1024);
    int seen = -1;
    Job job = Job::print(helper, kSlow, mDir.file("print.prn"), [&](int percent) { seen = percent; });
    while (job.progress() < 10) std::this_thread::sleep_for(milliseconds(20));
    job.cancel();
    job.cancel();  // twice is once
    const auto& done = job.wait();
    ASSERT_TRUE(done);
    EXPECT_TRUE(done->cancelled);
    EXPECT_GE(done->progress, 10);
    EXPECT_EQ(seen, done->progress);
    const std::string sent = readFile(mDir.file("slow.bin"));
    EXPECT_LT(sent.size(), data.size());
    EXPECT_EQ(data.substr(0, sent.size()), sent);

    Job quick = Job::print(helper, kFast, mDir.file("print.prn"));
    ASSERT_TRUE(quick.wait());
    quick.cancel();
    EXPECT_FALSE(quick.wait()->cancelled);
    EXPECT_EQ(data, readFile(mDir.file("fast.bin")));

    // A query that would wait ten seconds ends at once.
    Job query = Job::pjl(helper, kQuiet, kNoQuestion, seconds(10));
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(milliseconds(300));
    query.cancel();
    ASSERT_TRUE(query.wait());
    EXPECT_TRUE(query.wait()->cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - started, seconds(3));
}

TEST_F(Client, AFileOverFourGiBStartsAndCancels) {
    // Sparse: 5 GiB on disk in name only.
    {
        std::ofstream out(mDir.file("big.prn"), std::ios::binary);
        out.seekp((5LL << 30) - 1);
        out.put('\0');
    }
    Job job = Job::print(helper, kFast, mDir.file("big.prn"));
    while (job.progress() < 0) std::this_thread::sleep_for(milliseconds(20));
    std::this_thread::sleep_for(milliseconds(300));
    job.cancel();
    const auto& done = job.wait();
    ASSERT_TRUE(done) << done.error().message();
    EXPECT_TRUE(done->cancelled);
    EXPECT_EQ(0, done->progress);  // 1 % is 51 MiB away
    const auto received = std::filesystem::file_size(mDir.file("fast.bin"));
    EXPECT_GT(received, 0u);
    EXPECT_EQ(std::string(received, '\0'), readFile(mDir.file("fast.bin")));
}

TEST_F(Client, JobsSideBySideOnTwoPrinters) {
    const std::string data = patternedFile("print.prn", 300 * 1024);
    std::optional<Result<Completion>> first, second;
    std::thread a([&] { first = printFile(helper, kSlow, mDir.file("print.prn")); });
    std::thread b([&] { second = printFile(helper, kFast, mDir.file("print.prn")); });
    const auto active = isMachineActive(helper, kQuiet);
    a.join();
    b.join();
    ASSERT_TRUE(*first);
    ASSERT_TRUE(*second);
    EXPECT_TRUE(*active);
    EXPECT_EQ(data, readFile(mDir.file("slow.bin")));
    EXPECT_EQ(data, readFile(mDir.file("fast.bin")));
}

TEST_F(Client, RunsOnOnePrinterTakeTurns) {
    const std::string data = patternedFile("print.prn", 1200 * 1024);  // 3 s on Slow
    Job first = Job::print(helper, kSlow, mDir.file("print.prn"));
    ASSERT_TRUE(eventually([&] { return first.progress() >= 0; }));

    // A query or an active test waits its while, then says busy without
    // starting the helper (nothing reaches the printer).
    Helper impatient = helper;
    impatient.queryWait = milliseconds(300);
    const auto asked = steady_clock::now();
    const auto query = sendPJL(impatient, kSlow, pjlRequest({"INFO STATUS"}), seconds(5));
    EXPECT_GE(steady_clock::now() - asked, milliseconds(300));
    const auto active = isMachineActive(impatient, kSlow);
    ASSERT_FALSE(query);
    ASSERT_FALSE(active);
    for (const Error& error : {query.error(), active.error()}) {
        EXPECT_EQ(ErrorKind::busy, error.kind());
        EXPECT_EQ(Reason::busy, error.reason());
        EXPECT_EQ("busy: a job is printing", error.message());
    }
    // Other printers, and listings, do not wait.
    EXPECT_TRUE(*isMachineActive(helper, kFast));
    EXPECT_EQ(3u, listPrinters(helper)->size());

    // A print waits for its turn; cancelled meanwhile, it ends at once and
    // its helper never starts.
    const Helper marking(script("marking.sh", "touch " + mDir.file("started")));
    Job waiting = Job::print(marking, kSlow, mDir.file("print.prn"));
    std::this_thread::sleep_for(milliseconds(200));
    const auto cancelled = steady_clock::now();
    waiting.cancel();
    ASSERT_TRUE(waiting.wait());
    EXPECT_TRUE(waiting.wait()->cancelled);
    EXPECT_LT(steady_clock::now() - cancelled, seconds(1));
    EXPECT_FALSE(exists(mDir.file("started")));

    // One that waits on gets the printer after the first, the whole file.
    const std::string small = patternedFile("small.prn", 10 * 1024);
    Job second = Job::print(helper, kSlow, mDir.file("small.prn"));
    ASSERT_TRUE(first.wait());
    ASSERT_TRUE(second.wait()) << second.wait().error().message();
    EXPECT_EQ(100, second.wait()->progress);
    EXPECT_EQ(data + small, readFile(mDir.file("slow.bin")));

    // The helper does not inherit the turn's lock.
    const Helper listing(script("fds.sh", "ls -l /proc/$$/fd >" + mDir.file("fds")));
    EXPECT_FALSE(isMachineActive(listing, kFast));
    EXPECT_NE("", readFile(mDir.file("fds")));
    EXPECT_EQ(std::string::npos, readFile(mDir.file("fds")).find("zelvik-locks"));
}

TEST_F(Client, TurnsAreKeptOnlyInAFolderOfTheUsersOwn) {
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", mDir.path().c_str(), 1);
    const std::string folder = mDir.file("zelvik-locks-" + std::to_string(::geteuid()));
    EXPECT_TRUE(*isMachineActive(helper, kFast));
    struct stat info {};
    ASSERT_EQ(0, ::lstat(folder.c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777);
    EXPECT_FALSE(std::filesystem::is_empty(folder));

    // One open to others, or another user's, is never used: the runs go on
    // without taking turns.
    std::filesystem::remove_all(folder);
    ASSERT_EQ(0, ::mkdir(folder.c_str(), 0700));
    ::chmod(folder.c_str(), 0777);
    EXPECT_TRUE(*isMachineActive(helper, kFast));
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    if (::geteuid() == 0) {
        ::chmod(folder.c_str(), 0700);
        ASSERT_EQ(0, ::chown(folder.c_str(), 65534, 65534));
        EXPECT_TRUE(*isMachineActive(helper, kFast));
        EXPECT_TRUE(std::filesystem::is_empty(folder));
    }
    ::unsetenv("TMPDIR");
}

TEST_F(Client, APrintRidesOverABriefHoldAndNothingIsSentTwice) {
    // Another program's query holds the quiet printer for a second.
    writeFile(mDir.file("outside.pjl"), kNoQuestion);
    writeFile(mDir.file("outside.xml"), "<commandBody><command>sendPJLCommand</command><statusFilePath>" +
                                            mDir.file("outside-status.xml") + "</statusFilePath><deviceURI>" + kQuiet +
                                            "</deviceURI><outputFilePath>" + mDir.file("outside.pjl") +
                                            "</outputFilePath><responseFilePath>" + mDir.file("outside-answer") +
                                            "</responseFilePath><timeOut>1</timeOut></commandBody>");
    Process outside(ZELVIK_SIM_PROGRAM, {mDir.file("outside.xml")}, {"ZELVIK_SIMULATED_BUS=" + mDir.file("bus.xml")});
    ASSERT_TRUE(eventually([&] { return !readFile(mDir.file("quiet.bin")).empty(); }));
    const std::string data = patternedFile("print.prn", 100 * 1024);
    const auto done = printFile(helper, kQuiet, mDir.file("print.prn"));
    ASSERT_TRUE(done) << done.error().message();
    EXPECT_EQ(100, done->progress);
    ASSERT_TRUE(outside.waitFor(seconds(10)));
    EXPECT_EQ(kNoQuestion + data, readFile(mDir.file("quiet.bin")));
}

TEST_F(Client, EveryFailureSaysWhy) {
    writeFile(mDir.file("reasons.xml"),
              "<simulatedBus>" + device("Held", "H1", "held.bin", "<interfaceHeldOpen>true</interfaceHeldOpen>") +
                  device("Leaving", "L1", "leaving.bin", "<disconnectAfterBytes>100000</disconnectAfterBytes>") +
                  "</simulatedBus>");
    Helper reasons = Helper::simulated(mDir.file("reasons.xml"), ZELVIK_SIM_PROGRAM);
    reasons.heldRetry = milliseconds(500);
    const std::string data = patternedFile("print.prn", 300 * 1024);
    const auto absent = printFile(reasons, "usb://Zelvik/Gone?serial=0", mDir.file("print.prn"));
    const auto started = steady_clock::now();
    const auto held = printFile(reasons, "usb://Zelvik/Held?serial=H1", mDir.file("print.prn"));
    const auto heldFor = steady_clock::now() - started;
    const auto gone = printFile(reasons, "usb://Zelvik/Leaving?serial=L1", mDir.file("print.prn"));
    const std::pair<const Result<Completion>*, Reason> expected[] = {{&absent, Reason::noSuchPrinter},
                                                                     {&held, Reason::printerHeld},
                                                                     {&gone, Reason::deviceGone}};
    std::set<std::string> messages;
    for (const auto& [result, reason] : expected) {
        SCOPED_TRACE(nameOf(reason));
        ASSERT_FALSE(*result);
        EXPECT_EQ(7, result->error().code());
        EXPECT_EQ(reason, result->error().reason());
        EXPECT_NE("", result->error().advice());
        messages.insert(result->error().message());
    }
    EXPECT_EQ(3u, messages.size());
    // Held: started again for the while given; gone mid-job: never again.
    EXPECT_GE(heldFor, milliseconds(500));
    EXPECT_LT(heldFor, seconds(5));
    EXPECT_EQ(data.substr(0, 100000), readFile(mDir.file("leaving.bin")));
    // An active test that says False says why too.
    const auto inactive = Job::active(reasons, "usb://Zelvik/Held?serial=H1").wait();
    ASSERT_TRUE(inactive);
    EXPECT_FALSE(inactive->active);
    EXPECT_EQ(Reason::printerHeld, inactive->reason);

    // A trace the caller asked for gets each run's lines.
    Helper tracing = helper;
    tracing.environment.push_back("ZELVIK_TRACE=" + mDir.file("my-trace"));
    ASSERT_TRUE(listPrinters(tracing));
    EXPECT_NE(std::string::npos, readFile(mDir.file("my-trace")).find("command getPrinterList: result 0"));
}

TEST_F(Client, AHelperThatNamesNoReasonGivesUnknown) {
    // An older helper writes no trace, another helper anything at all: the
    // reason is read from the trace's last result line, and only from a
    // regular file. The long trace is over the size at which the client
    // frees a growing trace's head: its last lines must survive that.
    const std::string helperScript =
        script("old-helper.sh", "status=$(sed -n 's:.*<statusFilePath>\\(.*\\)</statusFilePath>.*:\\1:p' \"$1\")\n"
                                "rm -f \"$1\"\n"
                                "case \"$TRACE\" in\n"
                                "fifo) mkfifo \"$ZELVIK_TRACE\" ;;\n"
                                "long) head -c 1000000 /dev/zero | tr '\\0' x >\"$ZELVIK_TRACE\"\n"
                                "      printf '\\n0.5 command dataOutput: result 7, printer: deviceGone\\n"
                                "0.6 device command x: result 7, printer: stalled\\n' >>\"$ZELVIK_TRACE\" ;;\n"
                                "esac\n"
                                "printf '<statusBody><errorCode>7</errorCode></statusBody>' >\"$status\"");
    const std::pair<const char*, Reason> cases[] = {{"none", Reason::unknown},
                                                    {"fifo", Reason::unknown},
                                                    {"long", Reason::deviceGone}};
    for (const auto& [trace, reason] : cases) {
        SCOPED_TRACE(trace);
        const auto result =
            sendPJL(Helper(helperScript, {std::string("TRACE=") + trace}), kFast, "@PJL\r\n", seconds(1));
        ASSERT_FALSE(result);
        EXPECT_EQ(ErrorKind::helperReported, result.error().kind()) << result.error().message();
        EXPECT_EQ(reason, result.error().reason());
    }
}

// A status monitor polling a printer beside a run of print jobs to it:
// every job ends whole, every query with an answer or "busy".
// ZELVIK_STRESS_JOBS sets the number of jobs.
using ClientStress = Client;

TEST_F(ClientStress, AMonitorNeverBreaksAPrintJob) {
    const char* asked = std::getenv("ZELVIK_STRESS_JOBS");
    const int jobs = asked != nullptr && *asked != 0 ? std::atoi(asked) : ZELVIK_STRESS_JOBS;
    struct Tally {
        std::atomic<int> answered{0}, busy{0};
        std::vector<std::string> failures;
    } queries, actives;
    // A printer that takes its time over an answer, as real ones do, so
    // that a query holds it a while; the jobs come at random moments.
    writeFile(mDir.file("monitored.xml"),
              "<simulatedBus>" + device("Monitored", "M1", "monitored.bin", "<answerDelayMs>20</answerDelayMs>") +
                  "</simulatedBus>");
    const Helper monitored = Helper::simulated(mDir.file("monitored.xml"), ZELVIK_SIM_PROGRAM);
    const std::string uri = "usb://Zelvik/Monitored?serial=M1";
    std::mt19937 random(20261208);
    std::atomic<bool> stop{false};
    auto monitor = [&](Tally& tally, bool query) {
        while (!stop.load()) {
            std::optional<Error> error;
            if (query) {
                const auto answer = sendPJL(monitored, uri, pjlRequest({"INFO STATUS"}), seconds(5));
                if (!answer) error = answer.error();
            } else {
                const auto active = isMachineActive(monitored, uri);
                if (active && !*active) error = Error(ErrorKind::resultMalformed, 0, "False");
                if (!active) error = active.error();
            }
            if (!error) {
                ++tally.answered;
            } else if (error->kind() == ErrorKind::busy) {
                ++tally.busy;
            } else {
                tally.failures.push_back(error->message());
            }
            std::this_thread::sleep_for(milliseconds(50));
        }
    };
    std::thread statusPoll(monitor, std::ref(queries), true);
    std::thread activePoll(monitor, std::ref(actives), false);
    const std::string body = patternedFile("body", 96 * 1024);
    int failed = 0;
    for (int i = 0; i < jobs; ++i) {
        const std::string data = "job " + std::to_string(i) + "\n" + body;
        writeFile(mDir.file("job.prn"), data);
        // The monitor's queries land in the capture too, before and after.
        [[maybe_unused]] const int emptied = ::truncate(mDir.file("monitored.bin").c_str(), 0);
        std::this_thread::sleep_for(milliseconds(std::uniform_int_distribution<int>(0, 40)(random)));
        const auto done = printFile(monitored, uri, mDir.file("job.prn"));
        const std::string received = readFile(mDir.file("monitored.bin"));
        const std::size_t at = received.find(data);
        if (!done || done->cancelled || done->progress != 100 || at == std::string::npos ||
            received.find(data, at + 1) != std::string::npos) {
            ++failed;
            ADD_FAILURE() << "job " << i << ": " << (done ? "not received once, whole" : done.error().message());
        }
    }
    stop.store(true);
    statusPoll.join();
    activePoll.join();
    std::cout << "[ figure   ] " << failed << " of " << jobs << " jobs failed; INFO STATUS: " << queries.answered
              << " answered, " << queries.busy << " busy; isMachineActive: " << actives.answered << " answered, "
              << actives.busy << " busy\n";
    EXPECT_EQ(0, failed);
    for (const Tally* tally : {&queries, &actives}) {
        EXPECT_GT(tally->answered.load(), 0);
        EXPECT_TRUE(tally->failures.empty()) << tally->failures.front();
    }
}

}  // namespace
}  // namespace zelvik::test
