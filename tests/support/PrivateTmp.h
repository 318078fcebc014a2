// SPDX-License-Identifier: Apache-2.0
// Tests that play another user on the machine's shared temporary folder do
// it in a /tmp of their own, so that the machine's is never touched.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace zelvik::test {

// Runs `steps` in a child process with a private mount namespace, an empty
// /tmp and no XDG_RUNTIME_DIR. `steps` gives 0 when every step held, and
// otherwise the number of the one that failed, which the test reports.
// Skips where that cannot be had: not root, or no mount namespace.
inline void expectInPrivateTmp(const std::function<int()>& steps) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) {
            ::_exit(77);
        }
        ::unsetenv("XDG_RUNTIME_DIR");
        ::_exit(steps());
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(0, WEXITSTATUS(status)) << "the step that failed";
}

// Makes `path` as another user (nobody) would: a directory of its own, or
// a link to `linkTarget`. True when it was made.
inline bool squat(const std::string& path, const std::string& linkTarget = "") {
    const pid_t squatter = ::fork();
    if (squatter == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
        const int made = linkTarget.empty() ? ::mkdir(path.c_str(), 0700) : ::symlink(linkTarget.c_str(), path.c_str());
        ::_exit(made == 0 ? 0 : 1);
    }
    int status = 0;
    return squatter > 0 && ::waitpid(squatter, &status, 0) == squatter && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace zelvik::test
