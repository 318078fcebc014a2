// SPDX-License-Identifier: Apache-2.0
// The platform stand-ins: notifications and the reopen rendezvous.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "base/NotificationCenter.h"
#include "app/ReopenEvents.h"
#include "support/PrivateTmp.h"
#include "support/TempDir.h"

namespace zelvik {
namespace {

TEST(Notifications, DeliveredByNameUntilTheObserverIsRemoved) {
    NotificationCenter center;
    int a = 0, b = 0;
    int observerA = 0, observerB = 0;
    center.addObserver(&observerA, "Cancel", [&](const Notification& n) {
        EXPECT_EQ("Cancel", n.name);
        EXPECT_EQ(&b, n.object);
        ++a;
    });
    center.addObserver(&observerB, "Other", [&](const Notification&) { ++b; });
    center.postNotificationName("Cancel", &b);
    EXPECT_EQ(1, a);
    EXPECT_EQ(0, b);
    center.removeObserver(&observerA);
    center.postNotificationName("Cancel", &b);
    EXPECT_EQ(1, a);
}

TEST(ReopenRendezvous, SameDirectoryByAnyPathSharesOneName) {
    test::TempDir dir;
    const std::string direct = ReopenRendezvous::socketNameFor(dir.file("cmd.xml"));
    EXPECT_EQ(direct, ReopenRendezvous::socketNameFor(dir.path() + "/./cmd.xml"));
    EXPECT_NE(direct, ReopenRendezvous::socketNameFor(dir.file("cmd2.xml")));
}

using Outcome = ReopenRendezvous::Outcome;

// A launch for `path` on another thread, while `instance` answers as a
// running instance's loop does.
Outcome launchWhileAnswering(ReopenRendezvous& instance, const std::string& path, int* events) {
    std::atomic<bool> done{false};
    Outcome outcome = Outcome::Failed;
    std::thread launch([&] {
        ReopenRendezvous second;
        outcome = second.establish(path);
        done = true;
    });
    while (!done) {
        *events += instance.acceptPending();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    launch.join();
    return outcome;
}

TEST(ReopenRendezvous, SecondLaunchForwardsToTheRunningInstance) {
    test::TempDir dir;
    ReopenRendezvous first;
    ASSERT_EQ(Outcome::Listening, first.establish(dir.file("cmd.xml")));
    int events = 0;
    EXPECT_EQ(Outcome::Forwarded, launchWhileAnswering(first, dir.file("cmd.xml"), &events));
    EXPECT_EQ(1, events);
}

TEST(ReopenRendezvous, AnEndingInstanceLeavesThePathToTheNextLaunch) {
    // An instance whose command is done closes its rendezvous without
    // answering: the launch waiting on it must run, not be swallowed.
    test::TempDir dir;
    ReopenRendezvous first;
    ASSERT_EQ(Outcome::Listening, first.establish(dir.file("cmd.xml")));
    Outcome outcome = Outcome::Failed;
    ReopenRendezvous second;
    std::thread launch([&] { outcome = second.establish(dir.file("cmd.xml")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    first.close();
    launch.join();
    EXPECT_EQ(Outcome::Listening, outcome);
}

TEST(ReopenRendezvous, AnotherUserCanNeitherReachNorTakeTheRendezvous) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    test::TempDir dir;
    ReopenRendezvous listener;
    ASSERT_EQ(ReopenRendezvous::Outcome::Listening, listener.establish(dir.file("cmd.xml")));
    const std::string socketPath =
        *ReopenRendezvous::rendezvousDirectory() + "/" + ReopenRendezvous::socketNameFor(dir.file("cmd.xml"));
    pid_t child = ::fork();
    if (child == 0) {
        // As nobody, knock straight on our user's rendezvous, then try to
        // put a listener of its own in its place.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) ::_exit(3);
        ::unlink(socketPath.c_str());
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) ::_exit(4);
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    // The instance still answers launches of its own user.
    ReopenRendezvous second;
    int events = 0;
    EXPECT_EQ(Outcome::Forwarded, launchWhileAnswering(listener, dir.file("cmd.xml"), &events));
    EXPECT_EQ(1, events);
}

// The socket's address has room for a runtime directory of 73 characters:
// one of 63 (too deep for the name it had) is used, a deeper one passed
// over for the next candidate, and either way the next launch finds the
// instance.
TEST(ReopenRendezvous, ADeepRuntimeDirectoryIsUsedWhileTheAddressHoldsItAndPassedOverBeyond) {
    test::TempDir dir;
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved ? saved : "";
    for (const std::size_t length : {std::size_t{63}, std::size_t{90}}) {
        SCOPED_TRACE(length);
        std::string runtime = dir.path() + "/";
        runtime.append(length - runtime.size(), 'r');
        ASSERT_EQ(0, ::mkdir(runtime.c_str(), 0700));
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        const std::optional<std::string> directory = ReopenRendezvous::rendezvousDirectory();
        ASSERT_TRUE(directory.has_value());
        EXPECT_EQ(length == 63, *directory == runtime + "/zelvik") << *directory;
        ReopenRendezvous listener;
        ASSERT_EQ(Outcome::Listening, listener.establish(dir.file("cmd.xml")));
        int events = 0;
        EXPECT_EQ(Outcome::Forwarded, launchWhileAnswering(listener, dir.file("cmd.xml"), &events));
        EXPECT_EQ(1, events);
    }
    if (saved) {
        ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
}

// Without a runtime directory, another user who made the shared fallback
// first (a directory of its own, or a link to one of ours) is passed over:
// the launch listens in the home's cache and the next launch reaches it.
TEST(ReopenRendezvous, ASquattedTemporaryFallbackIsPassedOver) {
    test::expectInPrivateTmp([] {
        if (::mkdir("/tmp/home", 0700) != 0 || ::setenv("HOME", "/tmp/home", 1) != 0) return 2;
        const std::string shared = "/tmp/zelvik-" + std::to_string(::getuid());
        for (const bool asLink : {false, true}) {
            if (!test::squat(shared, asLink ? "/tmp/home" : "")) return 3;
            if (ReopenRendezvous::rendezvousDirectory() != "/tmp/home/.cache/zelvik") return 4;
            ReopenRendezvous listener;
            if (listener.establish("/tmp/home/cmd.xml") != Outcome::Listening) return 5;
            int events = 0;
            if (launchWhileAnswering(listener, "/tmp/home/cmd.xml", &events) != Outcome::Forwarded || events != 1) {
                return 6;
            }
            ::unlink(shared.c_str());
            ::rmdir(shared.c_str());
        }
        return 0;
    });
}

TEST(ReopenEvents, HandlerRunsOnlyWhileInstalledAndWaitingEventsAreDropped) {
    ReopenEventManager manager;
    int dropped = 0, delivered = 0;
    manager.setDropWaiting([&] { ++dropped; });
    manager.deliver();  // no handler: nothing
    manager.setEventHandler([&](const ReopenEvent&) { ++delivered; });
    EXPECT_EQ(1, dropped);
    manager.deliver();
    EXPECT_EQ(1, delivered);
    manager.removeEventHandler();
    manager.deliver();
    EXPECT_EQ(1, delivered);
}

}  // namespace
}  // namespace zelvik
