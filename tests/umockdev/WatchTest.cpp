// SPDX-License-Identifier: Apache-2.0
// The client library's printer watch on the emulated kernel: udev's events
// as umockdev sends them, the unmodified zelvik listing through libusb.
// Each printer plugged in or unplugged is reported once; what is not the
// served vendor's, or not an arrival or a departure, costs no listing; a
// burst of arrivals costs one or two.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/TempDir.h"
#include "umockdev/EmulatedBus.h"
#include "zelvik/client.h"

namespace zelvik::emulation {
namespace {

using namespace zelvik::client;
using zelvik::test::readFile;
using zelvik::test::TempDir;
using zelvik::test::writeFile;

std::string printer(const std::string& serial, const std::string& extra = "") {
    return "<device><deviceID>MFG:Zelvik;MDL:LP-100;</deviceID><serialNumber>" + serial + "</serialNumber>" + extra +
           "</device>";
}
std::string uriOf(const std::string& serial) { return "usb://Zelvik/LP-100?serial=" + serial; }

class WatchOnEmulatedKernel : public ::testing::Test {
protected:
    void SetUp() override {
        // zelvik, counting its launches; it runs under the preload library
        // this test inherited.
        writeFile(mDir.file("helper.sh"),
                  "#!/bin/sh\necho >>'" + mDir.file("launches") + "'\nexec '" ZELVIK_PROGRAM "' \"$@\"\n");
        ::chmod(mDir.file("helper.sh").c_str(), 0700);
    }

    void watch(const std::string& busFileText) {
        mBus = std::make_unique<EmulatedBus>(busFileText);
        // umockdev names a process's udev monitor after its descriptor's
        // number, in one folder for all processes, so the monitor libusb
        // makes in each zelvik process (a low number: a fresh process)
        // could take the watch's place. The watch's monitor gets a number
        // above theirs.
        std::vector<int> lowNumbers;
        while (lowNumbers.empty() || (lowNumbers.back() >= 0 && lowNumbers.back() < 256)) {
            lowNumbers.push_back(::eventfd(0, EFD_CLOEXEC));
        }
        auto started = watchPrinters(Helper{mDir.file("helper.sh"), {}}, [this](const PrinterEvent& event) {
            std::lock_guard lock(mMutex);
            ASSERT_NE(PrinterEvent::Kind::listingFailed, event.kind) << event.error->message();
            if (event.kind == PrinterEvent::Kind::ready) return;
            mEvents.push_back((event.kind == PrinterEvent::Kind::added ? "+" : "-") + event.printer.deviceURI);
            mChanged.notify_all();
        });
        for (const int fd : lowNumbers) ::close(fd);
        ASSERT_TRUE(started) << started.error().message();
        mWatch.emplace(std::move(started).value());
    }
    // The events once there are `count` of them (or all after a while).
    std::vector<std::string> events(std::size_t count) {
        std::unique_lock lock(mMutex);
        mChanged.wait_for(lock, std::chrono::seconds(30), [&] { return mEvents.size() >= count; });
        return mEvents;
    }
    std::size_t launches() const {
        const std::string text = readFile(mDir.file("launches"));
        return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    }

    TempDir mDir;
    std::unique_ptr<EmulatedBus> mBus;
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<std::string> mEvents;
    std::optional<PrinterWatch> mWatch;  // ends first: its handler uses the above
};

TEST_F(WatchOnEmulatedKernel, EachPrinterPluggedOrUnpluggedIsReportedOnce) {
    watch("<simulatedBus>" + printer("A1") + "</simulatedBus>");
    EmulatedBus& bus = *mBus;
    EXPECT_EQ(std::vector<std::string>{"+" + uriOf("A1")}, events(1));

    // Another vendor's device coming and going, and an event that is
    // neither an arrival nor a departure, cost no listing.
    constexpr unsigned kOtherVendor = ZELVIK_TEST_VENDOR_ID == 0x1234 ? 0x4321 : 0x1234;
    const std::size_t other = bus.plug(printer("X1", "<vendorID>" + std::to_string(kOtherVendor) + "</vendorID>"));
    bus.announce(0, "change");
    bus.unplug(other);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(1u, launches());

    const std::size_t second = bus.plug(printer("B2", "<locationID>0x01320000</locationID>"));
    EXPECT_EQ("+" + uriOf("B2"), events(2).back());
    bus.unplug(0);
    EXPECT_EQ("-" + uriOf("A1"), events(3).back());
    bus.unplug(second);
    EXPECT_EQ("-" + uriOf("B2"), events(4).back());
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(4u, events(4).size());
    EXPECT_EQ(4u, launches());
}

TEST_F(WatchOnEmulatedKernel, ABurstOfEventsCostsOneOrTwoListings) {
    watch("<simulatedBus></simulatedBus>");
    EmulatedBus& bus = *mBus;
    while (launches() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the first listing done

    // Twenty printers behind four hubs, plugged in at once.
    std::vector<std::size_t> plugged;
    std::vector<std::string> expected;
    for (unsigned hub = 1; hub <= 4; ++hub) {
        for (unsigned port = 1; port <= 5; ++port) {
            const std::string serial = "S" + std::to_string(hub) + std::to_string(port);
            const unsigned location = 0x01000000 | hub << 20 | port << 16;
            plugged.push_back(bus.plug(printer(serial, "<locationID>" + std::to_string(location) + "</locationID>")));
            expected.push_back("+" + uriOf(serial));
        }
    }
    std::vector<std::string> seen = events(20);
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, seen);
    const std::size_t afterPlugging = launches();
    EXPECT_GE(afterPlugging, 2u);
    EXPECT_LE(afterPlugging, 3u);

    for (const std::size_t index : plugged) bus.unplug(index);
    EXPECT_EQ(40u, events(40).size());
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(40u, events(40).size());
    EXPECT_GE(launches() - afterPlugging, 1u);
    EXPECT_LE(launches() - afterPlugging, 2u);
}

}  // namespace
}  // namespace zelvik::emulation
