// SPDX-License-Identifier: Apache-2.0
// A bulk transfer with a no-data and a completion time-out on top of a
// transfer call that knows only one time-out.
//
// The transfer runs in short rounds. libusb tells how many bytes a round
// moved only when the round ends, so the time of the last byte is known to
// within one round: silence is counted from the end of the last round that
// moved data. A transfer therefore ends no earlier than the no-data time-out
// after its last byte, and no later than that plus one round. The completion
// time-out counts from the start of the whole transfer. A time-out of 0 sets
// no limit.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace zelvik {

enum class RoundEnd {
    Complete,  // every byte moved (or, for a read, the device ended the transfer)
    TimedOut,  // the round's time-out passed; some bytes may have moved
    Failed,    // anything else: the transfer ends with the round's error
};

// Longest round: bounds how late a no-data time-out is noticed.
constexpr std::uint32_t kTransferRoundMs = 500;

// round(done, timeoutMs, &transferred) runs one round for the bytes from
// `done` on with the given time-out (0: none) and says how it ended and how
// many bytes it moved. *moved gets the bytes moved over all rounds. The
// result is the last round's end, or TimedOut once a limit has passed.
template <typename Clock, typename Round>
RoundEnd runTransferRounds(std::uint32_t length, std::uint32_t* moved, std::uint32_t noDataTimeout,
                           std::uint32_t completionTimeout, Round&& round) {
    using std::chrono::milliseconds;
    *moved = 0;
    const auto start = Clock::now();
    auto lastProgress = start;
    for (;;) {
        const auto now = Clock::now();
        auto limit = Clock::time_point::max();
        if (completionTimeout != 0) limit = start + milliseconds(completionTimeout);
        if (noDataTimeout != 0) limit = std::min(limit, lastProgress + milliseconds(noDataTimeout));

        std::uint32_t timeout = 0;  // no limit at all: one round without a time-out
        if (limit != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<milliseconds>(limit - now).count();
            if (left <= 0) return RoundEnd::TimedOut;
            timeout = static_cast<std::uint32_t>(std::min<std::int64_t>(left, kTransferRoundMs));
        }

        std::uint32_t transferred = 0;
        const RoundEnd end = round(*moved, timeout, &transferred);
        transferred = std::min(transferred, length - *moved);
        *moved += transferred;
        if (end != RoundEnd::TimedOut) return end;
        // Every byte moved although the round reported a time-out: nothing
        // is left to send (a further round of 0 bytes would be a
        // zero-length packet the caller never asked for).
        if (length > 0 && *moved == length) return RoundEnd::Complete;
        if (transferred > 0) lastProgress = Clock::now();
    }
}

}  // namespace zelvik
