// SPDX-License-Identifier: Apache-2.0
// An eventfd that wakes a thread sleeping in poll(): signalled from any
// thread (or a signal handler), drained by the thread it woke.
#pragma once

#include <unistd.h>

#include <cstdint>

namespace zelvik::client::detail {

// Async-signal-safe: one write.
inline void signalWake(int fd) noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
}

// Takes every signal so far (the eventfd is non-blocking).
inline void drainWake(int fd) noexcept {
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) > 0) {
    }
}

}  // namespace zelvik::client::detail
