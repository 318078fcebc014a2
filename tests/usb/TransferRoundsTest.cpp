// SPDX-License-Identifier: Apache-2.0
// Bulk transfers in rounds on a clock the test moves: silence is counted
// from the last byte that moved, the whole transfer from its start.
#include <gtest/gtest.h>

#include <vector>

#include "usb/libusb/TransferRounds.h"

namespace zelvik {
namespace {

using std::chrono::milliseconds;

struct FakeClock {
    using duration = milliseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<FakeClock>;
    static constexpr bool is_steady = true;
    static inline time_point current{};
    static time_point now() { return current; }
};

std::int64_t msNow() { return FakeClock::now().time_since_epoch().count(); }

// A device that takes (or gives) one byte every `msPerByte` from the start
// until `stopsAtMs`, then nothing.
struct Device {
    std::int64_t msPerByte;
    std::int64_t stopsAtMs;
    std::vector<std::uint32_t> timeouts;  // each round's time-out

    std::int64_t availableAt(std::int64_t ms) const { return std::min(ms, stopsAtMs) / msPerByte; }

    RoundEnd operator()(std::uint32_t done, std::uint32_t timeout, std::uint32_t* transferred) {
        timeouts.push_back(timeout);
        const std::int64_t end = msNow() + timeout;
        if (availableAt(end) >= kLength) {
            FakeClock::current = FakeClock::time_point(milliseconds(kLength * msPerByte));
            *transferred = kLength - done;
            return RoundEnd::Complete;
        }
        FakeClock::current = FakeClock::time_point(milliseconds(end));
        *transferred = static_cast<std::uint32_t>(availableAt(end) - done);
        return RoundEnd::TimedOut;
    }
    static constexpr std::uint32_t kLength = 100000;
};

TEST(TransferRounds, SilenceEndsTheTransferOneNoDataTimeOutAfterTheLastByte) {
    struct Case {
        const char* what;
        std::int64_t msPerByte, stopsAtMs;
        RoundEnd end;
        std::int64_t endsAtLeast, endsAtMost;  // ms from the start
    };
    const Case cases[] = {
        {"takes nothing", 1, 0, RoundEnd::TimedOut, 15000, 15000},
        // Paper out after 3 s: the old rounds of 15 s gave up only after
        // about 30 s of silence.
        {"stops taking data", 10, 3000, RoundEnd::TimedOut, 18000, 18000 + kTransferRoundMs},
        {"stops at an odd moment", 7, 7777, RoundEnd::TimedOut, 22777, 22777 + kTransferRoundMs},
        {"slow but steady", 1000, 1000000, RoundEnd::TimedOut, 60000, 60000},
        {"done in time", 1, 1000000, RoundEnd::Complete, 100000, 100000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeClock::current = {};
        Device device{c.msPerByte, c.stopsAtMs, {}};
        std::uint32_t moved = 0;
        const std::uint32_t completion = c.end == RoundEnd::Complete ? 0 : 60000;
        EXPECT_EQ(runTransferRounds<FakeClock>(Device::kLength, &moved, 15000, completion, std::ref(device)), c.end);
        EXPECT_GE(msNow(), c.endsAtLeast);
        EXPECT_LE(msNow(), c.endsAtMost);
        EXPECT_EQ(moved, std::min<std::int64_t>(Device::kLength, device.availableAt(msNow())));
        for (std::uint32_t timeout : device.timeouts) {
            EXPECT_GT(timeout, 0u);
            EXPECT_LE(timeout, kTransferRoundMs);
        }
    }
}

TEST(TransferRounds, FailuresAndTransfersWithoutLimits) {
    FakeClock::current = {};
    std::uint32_t moved = 0;
    int rounds = 0;
    const auto failing = [&](std::uint32_t, std::uint32_t, std::uint32_t* transferred) {
        *transferred = ++rounds == 1 ? 10 : 5;
        FakeClock::current += milliseconds(100);
        return rounds == 1 ? RoundEnd::TimedOut : RoundEnd::Failed;
    };
    EXPECT_EQ(runTransferRounds<FakeClock>(100, &moved, 15000, 60000, failing), RoundEnd::Failed);
    EXPECT_EQ(moved, 15u);

    // Without any limit, one round waits as long as it takes.
    std::vector<std::uint32_t> timeouts;
    const auto unlimited = [&](std::uint32_t, std::uint32_t timeout, std::uint32_t* transferred) {
        timeouts.push_back(timeout);
        *transferred = 100;
        return RoundEnd::Complete;
    };
    EXPECT_EQ(runTransferRounds<FakeClock>(100, &moved, 0, 0, unlimited), RoundEnd::Complete);
    EXPECT_EQ(timeouts, std::vector<std::uint32_t>{0});

    // A round that moved the last byte but reported a time-out needs no
    // further round: that would send a zero-length packet.
    rounds = 0;
    const auto lateReport = [&](std::uint32_t, std::uint32_t, std::uint32_t* transferred) {
        ++rounds;
        *transferred = 100;
        return RoundEnd::TimedOut;
    };
    EXPECT_EQ(runTransferRounds<FakeClock>(100, &moved, 15000, 60000, lateReport), RoundEnd::Complete);
    EXPECT_EQ(rounds, 1);

    // A zero-length packet nobody takes ends at the no-data time-out.
    FakeClock::current = {};
    const auto noTaker = [&](std::uint32_t, std::uint32_t timeout, std::uint32_t* transferred) {
        *transferred = 0;
        FakeClock::current += milliseconds(timeout);
        return RoundEnd::TimedOut;
    };
    EXPECT_EQ(runTransferRounds<FakeClock>(0, &moved, 2000, 60000, noTaker), RoundEnd::TimedOut);
    EXPECT_EQ(msNow(), 2000);
}

}  // namespace
}  // namespace zelvik
