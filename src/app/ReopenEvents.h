// SPDX-License-Identifier: Apache-2.0
// The reopen event: how the front end asks the running program to look at
// its command file again (to cancel). Two triggers arrive as one event:
//  - the signal SIGUSR1 sent to the process;
//  - a second launch of the program with the same command file path, which
//    finds this instance through a rendezvous socket, forwards the event
//    and exits without touching any file.
//
// The rendezvous is a Unix stream socket file named after the absolute
// command file path, in a directory that only the user can enter or create
// in (rendezvousDirectory), so that no other user can take its name first.
// Only peers of the same user are heard; anything else is closed unread.
// Where no such directory can be had, the command runs all the same and
// SIGUSR1 alone is its reopen: another user can make a launch lose its
// rendezvous, never its command.
#pragma once

#include <sys/types.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace zelvik {

struct ReopenEvent {};

class ReopenRendezvous {
public:
    enum class Outcome {
        Listening,  // this process is the instance for the path
        Forwarded,  // another instance runs for the path and got the event
        Failed,     // no rendezvous can be had: only SIGUSR1 reaches this process
    };

    ReopenRendezvous() = default;
    ~ReopenRendezvous();
    ReopenRendezvous(const ReopenRendezvous&) = delete;
    ReopenRendezvous& operator=(const ReopenRendezvous&) = delete;

    // The socket file's name for a command file path (26 characters): the
    // directory is resolved with realpath, since the file itself is deleted
    // early in a run.
    static std::string socketNameFor(const std::string& commandFilePath);

    // The directory of this user's rendezvous, created when missing: the
    // first of $XDG_RUNTIME_DIR/zelvik, /tmp/zelvik-UID and
    // $HOME/.cache/zelvik that is a real directory owned by the user,
    // closed to everyone else, and short enough for a socket file's
    // address. One that another user made is passed over; nothing when no
    // candidate will do.
    static std::optional<std::string> rendezvousDirectory();

    // Connects first and forwards the event to a running instance; binds
    // only when nobody answers, and if the bind finds the name taken after
    // all (a launch at the same moment), connects and forwards. An instance
    // that closes its rendezvous without answering is ending: the name is
    // taken over once it is free.
    Outcome establish(const std::string& commandFilePath);

    // Takes the socket file away: from now on a launch for the path runs on
    // its own. Safe from any thread while the loop still polls listenFd.
    void stopListening();
    // Stops listening and closes the socket.
    void close();

    // The listening socket (non-blocking) while Listening, else -1.
    int listenFd() const { return mListenFd; }

    // Accepts every connection waiting and answers those from a peer of
    // this process's user; returns how many there were. The others are
    // closed unread and unanswered.
    int acceptPending();

private:
    std::mutex mMutex;  // guards the socket file's removal
    int mListenFd = -1;
    int mDirectoryFd = -1;    // held open for its lock
    std::string mSocketPath;  // while the socket file is this instance's
    dev_t mSocketDevice = 0;
    ino_t mSocketInode = 0;
};

// Holds the installed reopen handler and delivers events to it.
class ReopenEventManager {
public:
    using Handler = std::function<void(const ReopenEvent&)>;

    // How the event source discards events that are waiting; events that
    // arrived while no handler was installed are dropped, not delivered late.
    void setDropWaiting(std::function<void()> dropWaiting) { mDropWaiting = std::move(dropWaiting); }
    // What the event source does once the handler is removed for good: no
    // later event can reach a handler, so none is taken any more.
    void setStopTaking(std::function<void()> stopTaking) { mStopTaking = std::move(stopTaking); }
    // Installs the handler (main thread).
    void setEventHandler(Handler handler);
    // Removes the handler; returns once a handler running on another thread
    // has finished, so that no event reaches it afterwards.
    void removeEventHandler();
    // Runs the handler, if one is installed (main thread).
    void deliver();

private:
    std::mutex mMutex;
    Handler mHandler;
    std::function<void()> mDropWaiting;
    std::function<void()> mStopTaking;
};

}  // namespace zelvik
