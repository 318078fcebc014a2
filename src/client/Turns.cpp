// SPDX-License-Identifier: Apache-2.0
#include "Turns.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "Wake.h"

namespace zelvik::client::detail {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often a waiter tries again without being woken: with inotify, for a
// holder that died; without it, the only way to see the turn come.
constexpr milliseconds kRecheck{1000};
constexpr milliseconds kRecheckUnwatched{100};

std::uint64_t fnv1a(const std::string& text, std::uint64_t hash) {
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

// A folder of this user's that nobody else may enter: made when missing,
// opened without following a link, and checked as opened.
UniqueFD openPrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return {};
    UniqueFD fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!fd.isValid() || ::fstat(fd.get(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0) {
        return {};
    }
    return fd;
}

// Whether `fd` is still the file named `name` in the folder (nobody
// removed it and made a new one).
bool stillNamed(int fd, int folder, const std::string& name) {
    struct stat held {
    }, named{};
    return ::fstat(fd, &held) == 0 && ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

void drain(int fd) {
    alignas(inotify_event) char buffer[4096];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

}  // namespace

std::vector<std::string> turnFolders() {
    std::vector<std::string> folders;
    if (const char* runtime = ::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
        folders.push_back(std::string(runtime) + "/zelvik-locks");
    }
    std::error_code error;
    const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    folders.push_back((error ? std::filesystem::path("/tmp") : temporary).string() + "/zelvik-locks-" +
                      std::to_string(::geteuid()));
    return folders;
}

std::string turnFileName(const std::string& deviceURI) {
    char name[48];
    std::snprintf(name, sizeof name, "%016llx%016llx.lock",
                  static_cast<unsigned long long>(fnv1a(deviceURI, 0xcbf29ce484222325ULL)),
                  static_cast<unsigned long long>(fnv1a(deviceURI, 0x84222325cbf29ce4ULL)));
    return name;
}

PrinterTurn::Outcome PrinterTurn::take(const std::vector<std::string>& folders, const std::string& deviceURI,
                                       std::optional<milliseconds> wait, int wake, const std::atomic<bool>& cancelled) {
    release();
    const Clock::time_point deadline = wait ? Clock::now() + *wait : Clock::time_point::max();
    UniqueFD folder;
    std::string path;
    for (const std::string& candidate : folders) {
        folder = openPrivateFolder(candidate);
        if (folder.isValid()) {
            path = candidate;
            break;
        }
    }
    if (!folder.isValid()) return Outcome::untaken;
    const std::string name = turnFileName(deviceURI);
    path += "/" + name;

    // Watched before each try, so that no release goes unseen.
    UniqueFD watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    int watched = -1;
    UniqueFD fd;
    for (int opened = 0;;) {
        if (!fd.isValid()) {
            // A file removed and made anew more often than this is not a
            // lock anybody keeps.
            if (++opened > 8) return Outcome::untaken;
            fd.reset(::openat(folder.get(), name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
            if (!fd.isValid()) return Outcome::untaken;
            if (watch.isValid()) {
                if (watched >= 0) ::inotify_rm_watch(watch.get(), watched);
                watched = ::inotify_add_watch(watch.get(), path.c_str(), IN_CLOSE | IN_ATTRIB);
            }
        }
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            if (stillNamed(fd.get(), folder.get(), name)) {
                mFd = std::move(fd);
                return Outcome::taken;
            }
            fd.reset();
            continue;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) return Outcome::untaken;
        // Removed while another had it (IN_ATTRIB): the turn is the new file's.
        if (!stillNamed(fd.get(), folder.get(), name)) {
            fd.reset();
            continue;
        }
        if (cancelled.load()) return Outcome::cancelled;
        milliseconds pause = watched >= 0 ? kRecheck : kRecheckUnwatched;
        if (wait) {
            const auto now = Clock::now();
            if (now >= deadline) return Outcome::timedOut;
            pause = std::min(pause, std::chrono::ceil<milliseconds>(deadline - now));
        }
        pollfd fds[2] = {{watch.get(), POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(pause.count())) < 0 && errno != EINTR) return Outcome::untaken;
        if (fds[0].revents != 0) drain(watch.get());
        if (fds[1].revents != 0) {
            drainWake(wake);
        }
    }
}

void PrinterTurn::release() {
    if (!mFd.isValid()) return;
    // Unlocked before the close wakes the waiters: the kernel reports a
    // close before it drops the lock the close lets go.
    ::flock(mFd.get(), LOCK_UN);
    mFd.reset();
}

}  // namespace zelvik::client::detail
