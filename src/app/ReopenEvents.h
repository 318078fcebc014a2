// The reopen event: how the front end asks the running program to look at
// its command file again (to cancel). Two triggers arrive as one event:
//  - the signal SIGUSR1 sent to the process;
//  - a second launch of the program with the same command file path, which
//    finds this instance through a rendezvous socket, forwards the event
//    and exits without touching any file.
//
// The rendezvous is a Unix stream socket in the Linux abstract namespace,
// named after the user ID and the absolute command file path. Only peers of
// the same user are heard; anything else is closed unread.
#pragma once

#include <sys/types.h>

#include <functional>
#include <mutex>
#include <string>

namespace zelvik {

struct ReopenEvent {};

class ReopenRendezvous {
public:
    enum class Outcome {
        Listening,  // this process is the instance for the path
        Forwarded,  // another instance runs for the path and got the event
        Failed,     // the rendezvous cannot be set up
    };

    ReopenRendezvous() = default;
    ~ReopenRendezvous();
    ReopenRendezvous(const ReopenRendezvous&) = delete;
    ReopenRendezvous& operator=(const ReopenRendezvous&) = delete;

    // The abstract socket name (without its leading NUL) for a command file
    // path: the directory is resolved with realpath, since the file itself
    // is deleted early in a run.
    static std::string socketNameFor(const std::string& commandFilePath, uid_t uid);

    // Connects first and forwards the event to a running instance; binds
    // only when nobody answers, and if the bind finds the name taken after
    // all (a launch at the same moment), connects and forwards. An instance
    // that closes its rendezvous without answering is ending: the name is
    // taken over once it is free.
    Outcome establish(const std::string& commandFilePath);

    // Stops listening: later launches for the path run on their own.
    void close();

    // The listening socket (non-blocking) while Listening, else -1.
    int listenFd() const { return mListenFd; }

    // Accepts every connection waiting and answers those from a peer of
    // this process's user; returns how many there were. The others are
    // closed unread and unanswered.
    int acceptPending();

private:
    int mListenFd = -1;
};

// Holds the installed reopen handler and delivers events to it.
class ReopenEventManager {
public:
    using Handler = std::function<void(const ReopenEvent&)>;

    // How the event source discards events that are waiting; events that
    // arrived while no handler was installed are dropped, not delivered late.
    void setDropWaiting(std::function<void()> dropWaiting) { mDropWaiting = std::move(dropWaiting); }
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
};

}  // namespace zelvik
