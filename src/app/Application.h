// SPDX-License-Identifier: Apache-2.0
// The application framework: a main-thread event loop that sleeps until
// something happens, launch and terminate callbacks for a delegate,
// termination on request from any thread, a detached command thread, and
// the reopen event (ReopenEvents.h).
//
// Signals: SIGUSR1 is a reopen event; SIGTERM, SIGINT and SIGHUP terminate
// the application (the delegate's applicationWillTerminate runs, a running
// command gets a moment to stop, then the process ends). They are blocked in every thread and read in the loop, so
// no handler runs in signal context.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/ReopenEvents.h"

namespace zelvik {

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationWillFinishLaunching() = 0;
    virtual void applicationWillTerminate() = 0;
};

class Application {
public:
    // How long termination from outside waits for a running command to stop
    // at its next cancel point before the process ends regardless.
    static constexpr std::chrono::milliseconds kCommandGracePeriod{1000};

    // Blocks the signals the loop handles in the calling thread. Runs as the
    // program's first step (before any library or static initialisation,
    // see ZELVIK_BLOCK_SIGNALS_AT_START), so that a reopen signal that comes
    // early waits for the loop instead of ending the process.
    static void blockHandledSignals();

    // Blocks the signals the loop handles, in this thread and so in every
    // thread it starts; construct before any other thread exists.
    Application(int argc, char** argv);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    const std::vector<std::string>& arguments() const { return mArguments; }

    // The main routine. With exactly one argument it first looks for an
    // instance already running for that command file path: if there is
    // one, the reopen event goes to it and run returns at once, before the
    // delegate hears anything. Otherwise: applicationWillFinishLaunching,
    // then the event loop until terminate. Returns the process's exit
    // status, which carries nothing.
    int run(ApplicationDelegate& delegate);

    // Asks the application to end; safe from any thread and more than once.
    // applicationWillTerminate runs on the main thread, then the process
    // ends.
    void terminate();

    // The reopen event manager; null when the signal handling could not be
    // set up (or before run). Without a rendezvous it still takes SIGUSR1.
    ReopenEventManager* reopenEventManager() { return mReopenAvailable ? &mReopen : nullptr; }

    // Starts the one command thread. When the command thread itself asks
    // for termination, the loop lets it finish before the process ends.
    void detachNewThread(std::function<void()> body);
    bool isCommandThread() const;

private:
    void setUpReopen();
    void dropWaitingReopenEvents();
    void eventLoop();
    void finish();

    std::vector<std::string> mArguments;
    ApplicationDelegate* mDelegate = nullptr;
    int mWakeFd = -1;          // eventfd: terminate requested
    int mReopenSignalFd = -1;  // signalfd: SIGUSR1
    int mStopSignalFd = -1;    // signalfd: SIGTERM, SIGINT, SIGHUP
    ReopenRendezvous mRendezvous;
    ReopenEventManager mReopen;
    bool mReopenAvailable = false;
    std::atomic<bool> mTerminateRequested{false};
    std::atomic<bool> mTerminateFromCommandThread{false};
    std::thread mCommandThread;
    std::atomic<std::thread::id> mCommandThreadId{};
    std::mutex mCommandMutex;
    std::condition_variable mCommandDoneCondition;
    bool mCommandDone = false;  // guarded by mCommandMutex
};

}  // namespace zelvik

// Put once in a program's main source file: blocks the handled signals
// before anything else of the program runs (an entry of .preinit_array runs
// right after the loader, before every initialiser). A signal that comes
// while the loader itself still works meets its default action; a front end
// that signals at once starts the program with them blocked.
#define ZELVIK_BLOCK_SIGNALS_AT_START()                                                           \
    [[gnu::used, gnu::section(".preinit_array")]] static void (*const zelvikBlockSignalsAtStart)( \
        int, char**, char**) = [](int, char**, char**) { zelvik::Application::blockHandledSignals(); }
