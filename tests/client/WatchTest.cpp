// SPDX-License-Identifier: Apache-2.0
// The printer watch on a simulated bus: the first listing's printers, then
// its end (also when it found none, or failed), each way a bus file is
// edited adds and removes printers once each, other files of its folder
// cost no listing, a failed listing is reported and the watch goes on, and
// stop() ends a listing under way, from another thread or from the handler.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "support/TempDir.h"
#include "zelvik/client.h"

namespace zelvik::test {
namespace {

using namespace zelvik::client;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::string uriOf(const std::string& model) { return "usb://Zelvik/" + model + "?serial=" + model + "1"; }

// The events a watch reported, as "+URI", "-URI", "failed" or "ready", with
// " (initial)" for those of the first listing.
class EventLog {
public:
    PrinterWatch::Handler handler() {
        return [this](const PrinterEvent& event) {
            std::string line = event.kind == PrinterEvent::Kind::added           ? "+" + event.printer.deviceURI
                               : event.kind == PrinterEvent::Kind::removed       ? "-" + event.printer.deviceURI
                               : event.kind == PrinterEvent::Kind::listingFailed ? std::string("failed")
                                                                                 : std::string("ready");
            EXPECT_EQ(event.kind == PrinterEvent::Kind::listingFailed, event.error.has_value());
            if (event.initial) line += " (initial)";
            std::lock_guard lock(mMutex);
            mLines.push_back(line);
            mChanged.notify_all();
        };
    }
    // The events once there are `count` of them (or all after a while).
    std::vector<std::string> waitFor(std::size_t count) {
        std::unique_lock lock(mMutex);
        mChanged.wait_for(lock, seconds(20), [&] { return mLines.size() >= count; });
        return mLines;
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<std::string> mLines;
};

class Watch : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(runtime());
        ::chmod(runtime().c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", runtime().c_str(), 1);
        std::filesystem::create_directory(mDir.file("bus"));
        // The helper, counting its launches; it fails or hangs on request.
        writeFile(mDir.file("helper.sh"), "#!/bin/sh\necho >>'" + mDir.file("launches") + "'\n[ -e '" +
                                              mDir.file("fail") + "' ] && exit 1\n[ -e '" + mDir.file("hang") +
                                              "' ] && exec sleep 30\nexec '" ZELVIK_SIM_PROGRAM "' \"$@\"\n");
        ::chmod(mDir.file("helper.sh").c_str(), 0700);
        helper = Helper::simulated(busFile(), mDir.file("helper.sh"));
    }
    void TearDown() override {
        for (const auto& entry : std::filesystem::directory_iterator(runtime())) {
            EXPECT_NE(0u, entry.path().filename().string().rfind("zelvik-client-", 0)) << entry.path();
        }
        ::unsetenv("XDG_RUNTIME_DIR");
    }

    std::string runtime() const { return mDir.file("runtime"); }
    std::string busFile() const { return mDir.file("bus/printers.xml"); }
    static std::string busText(const std::vector<std::string>& models) {
        std::string text = "<simulatedBus>";
        for (const auto& model : models) {
            text += "<device><deviceID>MFG:Zelvik;MDL:" + model + ";</deviceID><serialNumber>" + model +
                    "1</serialNumber></device>";
        }
        return text + "</simulatedBus>";
    }
    // A new bus file renamed over the old one.
    void replaceBus(const std::vector<std::string>& models) {
        writeFile(busFile() + ".new", busText(models));
        std::filesystem::rename(busFile() + ".new", busFile());
    }
    std::size_t launches() const {
        const std::string text = readFile(mDir.file("launches"));
        return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    }

    TempDir mDir;
    Helper helper;
};

TEST_F(Watch, EachEditOfTheBusFileIsReportedOnce) {
    // No printer at the start: the first listing's end says so.
    replaceBus({});
    {
        EventLog empty;
        auto watch = watchPrinters(helper, empty.handler());
        ASSERT_TRUE(watch) << watch.error().message();
        EXPECT_EQ(std::vector<std::string>{"ready (initial)"}, empty.waitFor(1));
    }
    replaceBus({"A"});
    EventLog log;
    auto watch = watchPrinters(helper, log.handler());
    ASSERT_TRUE(watch) << watch.error().message();
    EXPECT_EQ((std::vector<std::string>{"+" + uriOf("A") + " (initial)", "ready (initial)"}), log.waitFor(2));

    // Another file of the folder, even one named like the bus file's
    // temporary, costs no listing.
    writeFile(mDir.file("bus/notes.txt"), "x");
    writeFile(busFile() + ".new", busText({"A", "Z"}));
    std::this_thread::sleep_for(milliseconds(600));
    EXPECT_EQ(2u, launches());

    std::filesystem::rename(busFile() + ".new", busFile());  // renamed over
    EXPECT_EQ("+" + uriOf("Z"), log.waitFor(3).back());
    writeFile(busFile(), busText({"Z", "B"}));  // rewritten in place
    auto seen = log.waitFor(5);
    EXPECT_EQ((std::vector<std::string>{"-" + uriOf("A"), "+" + uriOf("B")}),
              std::vector<std::string>(seen.begin() + 3, seen.end()));
    // An editor that deletes the file and writes a new one.
    std::filesystem::remove(busFile());
    writeFile(busFile(), busText({"B"}));
    EXPECT_EQ("-" + uriOf("Z"), log.waitFor(6).back());
    // The file gone: a listing the client refuses, and an empty bus.
    std::filesystem::remove(busFile());
    EXPECT_EQ("failed", log.waitFor(7).back());
    replaceBus({});
    EXPECT_EQ("-" + uriOf("B"), log.waitFor(8).back());

    watch->stop();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(8u, log.waitFor(8).size());
}

TEST_F(Watch, AFailedListingIsReportedAndTheWatchGoesOn) {
    replaceBus({"A", "B"});
    writeFile(mDir.file("fail"), "");
    EventLog log;
    auto watch = watchPrinters(helper, log.handler());
    ASSERT_TRUE(watch) << watch.error().message();
    // The first listing is over, though it found out nothing.
    EXPECT_EQ((std::vector<std::string>{"failed (initial)", "ready (initial)"}), log.waitFor(2));

    // The first listing that succeeds holds the printers that were there
    // (and the watch was ready once only).
    std::filesystem::remove(mDir.file("fail"));
    replaceBus({"A", "B"});
    EXPECT_EQ((std::vector<std::string>{"failed (initial)", "ready (initial)", "+" + uriOf("A") + " (initial)",
                                        "+" + uriOf("B") + " (initial)"}),
              log.waitFor(4));

    // A failure later on changes nothing known: the next listing is
    // compared with the last that succeeded.
    writeFile(mDir.file("fail"), "");
    replaceBus({"B"});
    EXPECT_EQ("failed", log.waitFor(5).back());
    std::filesystem::remove(mDir.file("fail"));
    replaceBus({"B", "C"});
    const auto seen = log.waitFor(7);
    EXPECT_EQ((std::vector<std::string>{"-" + uriOf("A"), "+" + uriOf("C")}),
              std::vector<std::string>(seen.begin() + 5, seen.end()));
}

TEST_F(Watch, StopEndsAListingUnderWayFromAnyThread) {
    replaceBus({"A"});
    writeFile(mDir.file("hang"), "");
    EventLog log;
    std::optional<PrinterWatch> watch;
    {
        auto started = watchPrinters(helper, log.handler());
        ASSERT_TRUE(started) << started.error().message();
        watch.emplace(std::move(started).value());
    }
    const auto deadline = std::chrono::steady_clock::now() + seconds(10);
    while (launches() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    ASSERT_EQ(1u, launches());
    const auto asked = std::chrono::steady_clock::now();
    std::thread([&] { watch->stop(); }).join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, seconds(5));  // not the helper's 30 s
    watch.reset();
    EXPECT_TRUE(log.waitFor(0).empty());

    // Stopped, and even destroyed, by its own handler: no event after that.
    std::filesystem::remove(mDir.file("hang"));
    replaceBus({"A", "B", "C"});
    std::mutex mutex;
    std::vector<std::string> seen;
    std::optional<PrinterWatch> own;
    std::unique_lock hold(mutex);
    auto started = watchPrinters(helper, [&](const PrinterEvent& event) {
        std::lock_guard lock(mutex);
        seen.push_back(event.printer.deviceURI);
        own.reset();
    });
    ASSERT_TRUE(started) << started.error().message();
    own.emplace(std::move(started).value());
    hold.unlock();
    std::this_thread::sleep_for(milliseconds(500));
    std::lock_guard lock(mutex);
    EXPECT_EQ(std::vector<std::string>{uriOf("A")}, seen);
}

TEST_F(Watch, RefusesWhatCannotBeWatched) {
    EXPECT_EQ(ErrorKind::badRequest, watchPrinters(helper, {}).error().kind());
    const auto missing =
        watchPrinters(Helper::simulated(mDir.file("none/bus.xml"), mDir.file("helper.sh")), [](const PrinterEvent&) {});
    ASSERT_FALSE(missing);
    EXPECT_EQ(ErrorKind::setupFailed, missing.error().kind());
    EXPECT_EQ(0u, launches());
}

}  // namespace
}  // namespace zelvik::test
