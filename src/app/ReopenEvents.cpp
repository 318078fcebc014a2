#include "app/ReopenEvents.h"

#include <sys/socket.h>
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

socklen_t fillAddress(const std::string& name, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    // Abstract namespace: a leading NUL, then the name (not NUL-terminated).
    std::size_t length = std::min(name.size(), sizeof address->sun_path - 1);
    std::memcpy(address->sun_path + 1, name.data(), length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

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
        return (error == ECONNREFUSED || error == ENOENT) ? ForwardResult::NobodyListening
                                                          : ForwardResult::Failed;
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
    if (sent != 1) {
        ::close(fd);
        return ForwardResult::InstanceEnding;
    }
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
    if (received == 1 || (received < 0 && (error == EAGAIN || error == EWOULDBLOCK)))
        return ForwardResult::Forwarded;
    return ForwardResult::InstanceEnding;  // closed unanswered
}

}  // namespace

ReopenRendezvous::~ReopenRendezvous() {
    if (mListenFd >= 0) ::close(mListenFd);
}

std::string ReopenRendezvous::socketNameFor(const std::string& commandFilePath, uid_t uid) {
    const std::string absolute = absoluteCommandPath(commandFilePath);
    char name[96];
    std::snprintf(name, sizeof name, "zelvik-reopen/%lu/%016llx%016llx",
                  static_cast<unsigned long>(uid),
                  static_cast<unsigned long long>(fnv1a(absolute, 0xcbf29ce484222325ULL)),
                  static_cast<unsigned long long>(fnv1a(absolute, 0x84222325cbf29ce4ULL)));
    return name;
}

ReopenRendezvous::Outcome ReopenRendezvous::establish(const std::string& commandFilePath) {
    sockaddr_un address{};
    const socklen_t length = fillAddress(socketNameFor(commandFilePath, ::getuid()), &address);

    // Connect first; bind only when nobody answers. The bind can still find
    // the name taken (a launch at the same moment), and an instance can be
    // ending: both settle within moments, so try again for a while.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        switch (forward(address, length)) {
            case ForwardResult::Forwarded: return Outcome::Forwarded;
            case ForwardResult::Failed: return Outcome::Failed;
            case ForwardResult::InstanceEnding: break;
            case ForwardResult::NobodyListening: {
                int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
                if (fd < 0) return Outcome::Failed;
                if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
                    if (::listen(fd, 16) != 0) {
                        ::close(fd);
                        return Outcome::Failed;
                    }
                    mListenFd = fd;
                    return Outcome::Listening;
                }
                const int error = errno;
                ::close(fd);
                if (error != EADDRINUSE) return Outcome::Failed;
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return Outcome::Failed;
}

void ReopenRendezvous::close() {
    if (mListenFd >= 0) ::close(mListenFd);
    mListenFd = -1;
}

int ReopenRendezvous::acceptPending() {
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
}

void ReopenEventManager::deliver() {
    std::lock_guard lock(mMutex);
    if (mHandler) mHandler(ReopenEvent{});
}

}  // namespace zelvik
