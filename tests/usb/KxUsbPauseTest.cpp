// SPDX-License-Identifier: Apache-2.0
// The pause before every transfer is never cut short, not even by signals
// arriving while it runs: a printer that needs it would otherwise get data
// sooner than it can take it.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "usb/KxUsbCommunicater.h"
#include "usb/sim/SimulatedUsbAccess.h"

namespace zelvik {
namespace {

void ignoreSignal(int) {}

TEST(PauseBeforeTransfer, EveryTransferWaitsItsWholePauseWhileSignalsInterruptIt) {
    sim::VirtualPrinterConfig config;
    config.deviceID = "MFG:A;MDL:B;";
    config.serialNumber = "S";
    SimulatedUsbAccess bus({config});
    KxUsbCommunicater link(bus);
    ASSERT_EQ(link.openUSBDevice("usb://A/B?serial=S"), 0);

    // A handler without SA_RESTART: each signal ends a sleep early with EINTR.
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR2, &action, &previous), 0);
    const pthread_t transferring = ::pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
        while (!done.load()) {
            ::pthread_kill(transferring, SIGUSR2);
            std::this_thread::sleep_for(std::chrono::microseconds(150));
        }
    });

    using Clock = std::chrono::steady_clock;
    const auto pause = std::chrono::microseconds(KxUsbCommunicater::kPauseBeforeTransferUs);
    std::uint8_t chunk[2048] = {};
    std::uint8_t answer[3072];
    for (int i = 0; i < 100; ++i) {
        const auto begin = Clock::now();
        const int written = link.writePipeWithBuffer(chunk, sizeof chunk);
        const auto wrote = Clock::now();
        std::uint32_t count = sizeof answer;
        const int read = link.readPipeToBuffer(answer, &count);
        const auto end = Clock::now();
        ASSERT_EQ(written, 0);
        ASSERT_EQ(read, 0);
        ASSERT_GE(wrote - begin, pause) << "write " << i;
        ASSERT_GE(end - wrote, pause) << "read " << i;
    }
    done = true;
    interrupter.join();
    ::sigaction(SIGUSR2, &previous, nullptr);
    link.closePipes();
}

}  // namespace
}  // namespace zelvik
