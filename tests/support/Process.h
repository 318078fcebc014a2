// SPDX-License-Identifier: Apache-2.0
// Runs one of the built programs as a child process, as the front end does.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace zelvik::test {

class Process {
public:
    // Starts `program` with `arguments`; `environment` entries (NAME=value)
    // are added to this process's environment. The child starts with no
    // signal blocked, as from a shell, or with `blocked` blocked, as a front
    // end that signals at once starts it. With an `output` path, standard
    // output goes to output + ".out" and standard error to output + ".err".
    Process(const std::string& program, const std::vector<std::string>& arguments,
            const std::vector<std::string>& environment = {}, std::vector<int> blocked = {},
            const std::string& output = {}) {
        std::vector<std::string> args{program};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        std::vector<std::string> env(environment);
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t mask;
        sigemptyset(&mask);
        for (int number : blocked) sigaddset(&mask, number);
        posix_spawnattr_setsigmask(&attributes, &mask);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string out = output + ".out", err = output + ".err";
        if (!output.empty()) {
            posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        if (posix_spawn(&mPid, program.c_str(), &actions, &attributes, argv.data(), envp.data()) != 0) mPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    ~Process() {
        if (mPid > 0 && !mExited) {
            ::kill(mPid, SIGKILL);
            ::waitpid(mPid, nullptr, 0);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return mPid; }
    bool started() const { return mPid > 0; }

    // Waits for the exit; false when it did not come within `limit`.
    bool waitFor(std::chrono::milliseconds limit) {
        if (mExited) return true;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            int status = 0;
            if (::waitpid(mPid, &status, WNOHANG) == mPid) {
                mExited = true;
                mStatus = status;
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    bool running() { return !waitFor(std::chrono::milliseconds(0)); }
    int exitCode() const { return WIFEXITED(mStatus) ? WEXITSTATUS(mStatus) : -1; }
    void signal(int number) { ::kill(mPid, number); }

private:
    pid_t mPid = -1;
    bool mExited = false;
    int mStatus = 0;
};

// Polls `condition` until it holds or `limit` passes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

}  // namespace zelvik::test
