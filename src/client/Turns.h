// SPDX-License-Identifier: Apache-2.0
// A printer's turn: runs of one user on one printer take turns, so that a
// status query never makes a print job find its printer claimed. The turn
// is an advisory lock (flock) on the printer's file in a folder only this
// user can enter: "zelvik-locks" in the runtime directory when that is the
// user's own and closed to others, else "zelvik-locks-UID" in the temporary
// directory. A folder another user owns, or one open to others, is never
// used; without a folder, runs do not take turns.
//
// A waiter sleeps on inotify: a turn is let go by unlocking its file and
// then closing it, and the close wakes the waiters. A holder that died
// closes without unlocking first, and the kernel may report that close just
// before it drops the lock: a waiter tries again once a second besides.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "base/UniqueFD.h"

namespace zelvik::client::detail {

// The folders a turn may be kept in, best first; read from the environment
// on the caller's thread.
std::vector<std::string> turnFolders();

// The name of a printer's lock file: its device URI hashed.
std::string turnFileName(const std::string& deviceURI);

class PrinterTurn {
public:
    PrinterTurn() = default;
    ~PrinterTurn() { release(); }
    PrinterTurn(const PrinterTurn&) = delete;
    PrinterTurn& operator=(const PrinterTurn&) = delete;

    enum class Outcome {
        taken,      // the turn is ours until release()
        untaken,    // no private folder or lock file: runs do not take turns
        timedOut,   // another run had it for longer than the wait
        cancelled,  // `cancelled` became true
    };

    // Waits for the printer's turn, until `wait` has passed (none: no limit).
    // `wake` is a descriptor that polls readable when `cancelled` may have
    // become true; it is drained here.
    Outcome take(const std::vector<std::string>& folders, const std::string& deviceURI,
                 std::optional<std::chrono::milliseconds> wait, int wake, const std::atomic<bool>& cancelled);
    // Lets the turn go, waking those who wait for it.
    void release();

private:
    UniqueFD mFd;
};

}  // namespace zelvik::client::detail
