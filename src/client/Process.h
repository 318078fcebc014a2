// SPDX-License-Identifier: Apache-2.0
// The helper as a child process: started directly, with one argument, its
// standard streams on /dev/null, in a process group of its own (a terminal's
// Ctrl-C reaches the front end, which cancels through the protocol) and
// with SIGUSR1 blocked, so that a reopen sent at once can never kill it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zelvik::client::detail {

// A directory only this user can enter (mode 0700), under
// $XDG_RUNTIME_DIR, else the temporary directory, removed with all it holds.
class PrivateDirectory {
public:
    PrivateDirectory();
    ~PrivateDirectory();
    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;

    bool made() const { return !mPath.empty(); }
    const std::string& path() const { return mPath; }
    std::string file(const char* name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The errno of the failure, 0 on success.
    int start(const std::string& program, const std::string& argument, const std::vector<std::string>& environment);
    pid_t pid() const { return mPid; }
    // Readable once the child has ended; -1 before start.
    int exitFd() const { return mExitFd; }
    // Collects the ended child: its wait status.
    int reap();
    bool reaped() const { return mReaped; }

private:
    pid_t mPid = -1;
    int mExitFd = -1;  // a pidfd
    bool mReaped = false;
    int mStatus = 0;
};

}  // namespace zelvik::client::detail
