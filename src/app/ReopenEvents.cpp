// SPDX-License-Identifier: Apache-2.0
#include "app/ReopenEvents.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace zelvik {
namespace {

// FNV-1a over the path with two different starting values: 128 bits keep
// two different paths from sharing a rendezvous.
std::uint64_t fnv1a(const std::string& text, std::uint64_t hash) {
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

std::string absoluteCommandPath(const std::string& path) {
    auto slash = path.find_last_of('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    if (directory.empty()) directory = "/";
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

    std::string result;
    char resolved[PATH_MAX];
    if (::realpath(directory.c_str(), resolved) != nullptr) {
        result.assign(resolved);
        if (result.back() != '/') result.push_back('/');
        result.append(name);
        return result;
    }
    // A directory that cannot be resolved still names one rendezvous.
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
    result.assign(cwd);
    result.push_back('/');
    result.append(path);
    return result;
}

// Fills a socket file address; false when the path does not fit.
bool fillAddress(const std::string& path, sockaddr_un* address, socklen_t* length) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) return false;
    std::memcpy(address->sun_path, path.data(), path.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

// Owned by the user, with no access for group or others.
bool isPrivate(const struct stat& st) { return st.st_uid == ::getuid() && (st.st_mode & 077) == 0; }

// A directory the user alone can use: a real directory (not a link), owned
// by the user, with no access for group or others. Created when missing.
bool isPrivateDirectory(const std::string& path, bool create) {
    if (create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && isPrivate(st);
}

// The length of a socket file's name (socketNameFor).
constexpr std::size_t kSocketNameLength = 26;

// Whether a socket file in the directory has a path short enough to bind.
bool socketFitsIn(const std::string& directory) {
    return directory.size() + 1 + kSocketNameLength < sizeof(sockaddr_un::sun_path);
}

// Holds the rendezvous directory's lock for a scope: binding, and removing
// a socket file, happen one launch at a time.
class DirectoryLock {
public:
    explicit DirectoryLock(int fd) : mFd(fd) {
        while (::flock(mFd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~DirectoryLock() { ::flock(mFd, LOCK_UN); }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

private:
    int mFd;
};

bool peerIsSameUser(int fd) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return false;
    return credentials.uid == ::getuid();
}

enum class ForwardResult { Forwarded, NobodyListening, InstanceEnding, Failed };

// The byte a running instance answers a reopen with. An instance whose
// command is done closes its rendezvous unanswered instead, so that a launch
// for the next command at the same path runs rather than being swallowed.
constexpr char kReceived = 'R';

// Connects to a running instance and hands it one reopen event.
ForwardResult forward(const sockaddr_un& address, socklen_t length) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return ForwardResult::Failed;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        int error = errno;
        ::close(fd);
        // Refused: a socket file left by an instance that was killed.
        return (error == ECONNREFUSED || error == ENOENT) ? ForwardResult::NobodyListening : ForwardResult::Failed;
    }
    // A listener of another user squatting on our name gets nothing.
    if (!peerIsSameUser(fd)) {
        ::close(fd);
        return ForwardResult::Failed;
    }
    const char event = 'E';
    ssize_t sent;
    do {
        sent = ::send(fd, &event, 1, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    // A running instance answers as soon as it accepts and closes at once,
    // perhaps before this byte went out (the send then fails): its answer,
    // already waiting here, is what tells, not the send.
    (void)sent;
    // An instance that is alive answers at once; one that is stuck past this
    // has the event all the same, and a second instance must not start.
    const timeval patience{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    char answer = 0;
    ssize_t received;
    do {
        received = ::recv(fd, &answer, 1, 0);
    } while (received < 0 && errno == EINTR);
    const int error = errno;
    ::close(fd);
    if (received == 1 || (received < 0 && (error == EAGAIN || error == EWOULDBLOCK))) return ForwardResult::Forwarded;
    return ForwardResult::InstanceEnding;  // closed unanswered
}

}  // namespace

ReopenRendezvous::~ReopenRendezvous() { close(); }

std::string ReopenRendezvous::socketNameFor(const std::string& commandFilePath) {
    const std::string absolute = absoluteCommandPath(commandFilePath);
    // The 128 bits in base 32 (lower-case letters and digits): short, so
    // that the socket's path fits its address in a deep directory too.
    const std::uint64_t halves[2] = {fnv1a(absolute, 0xcbf29ce484222325ULL), fnv1a(absolute, 0x84222325cbf29ce4ULL)};
    static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz234567";
    std::string name;
    unsigned bits = 0;
    unsigned held = 0;
    for (const std::uint64_t half : halves) {
        for (int shift = 56; shift >= 0; shift -= 8) {
            held = (held << 8) | static_cast<unsigned>((half >> shift) & 0xff);
            bits += 8;
            while (bits >= 5) {
                bits -= 5;
                name.push_back(kDigits[(held >> bits) & 31]);
            }
        }
    }
    name.push_back(kDigits[(held << (5 - bits)) & 31]);
    return name;
}

std::optional<std::string> ReopenRendezvous::rendezvousDirectory() {
    // The session's runtime directory, when it is what it should be.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') {
        struct stat st {};
        const std::string directory = std::string(runtime) + "/zelvik";
        if (socketFitsIn(directory) && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && isPrivate(st) &&
            isPrivateDirectory(directory, true)) {
            return directory;
        }
    }
    // The same name in every session of the user; whoever creates it first
    // owns it, so one that is not ours is passed over, never used.
    const std::string shared = "/tmp/zelvik-" + std::to_string(static_cast<unsigned long>(::getuid()));
    if (isPrivateDirectory(shared, true)) return shared;
    // The user's own home, which nobody else can create in.
    const char* home = std::getenv("HOME");
    std::string homeDirectory = home && home[0] == '/' ? home : "";
    if (homeDirectory.empty()) {
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir) {
            homeDirectory = found->pw_dir;
        }
    }
    if (homeDirectory.empty()) return std::nullopt;
    const std::string cache = homeDirectory + "/.cache";
    const std::string directory = cache + "/zelvik";
    if (!socketFitsIn(directory)) return std::nullopt;
    if (::mkdir(cache.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    if (isPrivateDirectory(directory, true)) return directory;
    return std::nullopt;
}

ReopenRendezvous::Outcome ReopenRendezvous::establish(const std::string& commandFilePath) {
    std::optional<std::string> directory = rendezvousDirectory();
    if (!directory) return Outcome::Failed;
    const std::string socketPath = *directory + "/" + socketNameFor(commandFilePath);
    sockaddr_un address{};
    socklen_t length = 0;
    if (!fillAddress(socketPath, &address, &length)) return Outcome::Failed;
    const int directoryFd = ::open(directory->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directoryFd < 0) return Outcome::Failed;
    struct stat held {};
    if (::fstat(directoryFd, &held) != 0 || !isPrivate(held)) {
        ::close(directoryFd);
        return Outcome::Failed;
    }

    // Connect first; bind only when nobody answers, under the directory's
    // lock, asking once more there: a launch at the same moment may have
    // bound in between. An instance that closes its rendezvous without
    // answering is ending: its socket file goes away within moments.
    Outcome outcome = Outcome::Failed;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool decided = false;
    do {
        ForwardResult result = forward(address, length);
        if (result == ForwardResult::NobodyListening) {
            DirectoryLock lock(directoryFd);
            result = forward(address, length);
            if (result == ForwardResult::NobodyListening) {
                // A socket file nobody listens on was left by a killed
                // instance: it is replaced.
                ::unlink(socketPath.c_str());
                int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
                struct stat st {};
                if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                    ::listen(fd, 16) == 0 && ::stat(socketPath.c_str(), &st) == 0) {
                    std::lock_guard guard(mMutex);
                    mListenFd = fd;
                    mDirectoryFd = directoryFd;
                    mSocketPath = socketPath;
                    mSocketDevice = st.st_dev;
                    mSocketInode = st.st_ino;
                    return Outcome::Listening;
                }
                if (fd >= 0) ::close(fd);
                decided = true;
            }
        }
        switch (result) {
            case ForwardResult::Forwarded:
                outcome = Outcome::Forwarded;
                decided = true;
                break;
            case ForwardResult::Failed: decided = true; break;
            case ForwardResult::InstanceEnding:
            case ForwardResult::NobodyListening: break;
        }
        if (decided) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    ::close(directoryFd);
    return outcome;
}

void ReopenRendezvous::stopListening() {
    std::lock_guard guard(mMutex);
    if (mSocketPath.empty()) return;
    // Only our own socket file goes: once this instance stopped listening,
    // the next launch may already have put its own in its place.
    DirectoryLock lock(mDirectoryFd);
    struct stat st {};
    if (::lstat(mSocketPath.c_str(), &st) == 0 && st.st_dev == mSocketDevice && st.st_ino == mSocketInode)
        ::unlink(mSocketPath.c_str());
    mSocketPath.clear();
}

void ReopenRendezvous::close() {
    stopListening();
    std::lock_guard guard(mMutex);
    if (mListenFd >= 0) ::close(mListenFd);
    if (mDirectoryFd >= 0) ::close(mDirectoryFd);
    mListenFd = -1;
    mDirectoryFd = -1;
}

// Not const: accepting takes the waiting connections off the socket.
int ReopenRendezvous::acceptPending() {  // NOLINT(readability-make-member-function-const)
    int events = 0;
    if (mListenFd < 0) return 0;
    for (;;) {
        int fd = ::accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            break;  // EAGAIN: nothing more waiting
        }
        // The connection itself is the event; its byte is not needed. The
        // answer tells the launch that this instance took it.
        if (peerIsSameUser(fd)) {
            ++events;
            ::send(fd, &kReceived, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        ::close(fd);
    }
    return events;
}

void ReopenEventManager::setEventHandler(Handler handler) {
    std::lock_guard lock(mMutex);
    if (mDropWaiting) mDropWaiting();
    mHandler = std::move(handler);
}

void ReopenEventManager::removeEventHandler() {
    std::lock_guard lock(mMutex);
    mHandler = nullptr;
    if (mStopTaking) mStopTaking();
}

void ReopenEventManager::deliver() {
    std::lock_guard lock(mMutex);
    if (mHandler) mHandler(ReopenEvent{});
}

}  // namespace zelvik
