// SPDX-License-Identifier: Apache-2.0
#include "Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace zelvik::client::detail {
namespace {

int pidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

std::string nameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

}  // namespace

PrivateDirectory::PrivateDirectory() {
    // The runtime directory first; the temporary directory when there is
    // none or it cannot take one more.
    std::vector<std::filesystem::path> bases;
    std::error_code error;
    if (const char* runtime = ::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && runtime[0] == '/' && std::filesystem::is_directory(runtime, error)) {
        bases.emplace_back(runtime);
    }
    const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    bases.push_back(error ? std::filesystem::path("/tmp") : temporary);
    for (const auto& base : bases) {
        std::string pattern = (base / "zelvik-client-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {  // mode 0700
            mPath = pattern;
            return;
        }
    }
}

PrivateDirectory::~PrivateDirectory() {
    if (mPath.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
}

ChildProcess::~ChildProcess() {
    if (mPid > 0 && !mReaped) {
        ::kill(mPid, SIGKILL);
        reap();
    }
    if (mExitFd >= 0) ::close(mExitFd);
}

int ChildProcess::start(const std::string& program, const std::string& argument,
                        const std::vector<std::string>& environment) {
    std::vector<std::string> args{program, argument};
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // The helper's own entries first and only once: they win over the
    // caller's entries of the same name.
    std::vector<std::string> env(environment);
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string entry(*e);
        bool overridden = false;
        for (const auto& own : environment) overridden = overridden || nameOf(own) == nameOf(entry);
        if (!overridden) env.push_back(entry);
    }
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    for (int fd : {0, 1, 2}) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    posix_spawnattr_setsigmask(&attributes, &blocked);
    // Dispositions the caller may have set to "ignore" survive exec; the
    // helper must start from the defaults.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD}) {
        sigaddset(&defaults, number);
    }
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    const int failure = ::posix_spawn(&mPid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) {
        mPid = -1;
        return failure;
    }
    // The child is not reaped before this, so its pid cannot name another
    // process here.
    mExitFd = pidfdOpen(mPid);
    if (mExitFd < 0) {
        const int error = errno;
        ::kill(mPid, SIGKILL);
        reap();
        return error;
    }
    return 0;
}

int ChildProcess::reap() {
    if (mReaped || mPid <= 0) return mStatus;
    int status = 0;
    while (::waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
    }
    mReaped = true;
    mStatus = status;
    return mStatus;
}

}  // namespace zelvik::client::detail
