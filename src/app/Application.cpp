// SPDX-License-Identifier: Apache-2.0
#include "app/Application.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <latch>

#include "base/Trace.h"

namespace zelvik {
namespace {

sigset_t signalsOf(std::initializer_list<int> numbers) {
    sigset_t set;
    sigemptyset(&set);
    for (int n : numbers) sigaddset(&set, n);
    return set;
}

const sigset_t kReopenSignals = signalsOf({SIGUSR1});
const sigset_t kStopSignals = signalsOf({SIGTERM, SIGINT, SIGHUP});

// Reads every queued signal; returns how many there were.
int drainSignalFd(int fd) {
    int count = 0;
    signalfd_siginfo info{};
    while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) ++count;
    return count;
}

}  // namespace

void Application::blockHandledSignals() {
    sigset_t all = signalsOf({SIGUSR1, SIGTERM, SIGINT, SIGHUP});
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

Application::Application(int argc, char** argv) {
    blockHandledSignals();
    for (int i = 0; i < argc; ++i) mArguments.emplace_back(argv[i] ? argv[i] : "");
    mWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    mStopSignalFd = ::signalfd(-1, &kStopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
}

Application::~Application() {
    if (mCommandThread.joinable()) mCommandThread.detach();
    for (int fd : {mWakeFd, mReopenSignalFd, mStopSignalFd}) {
        if (fd >= 0) ::close(fd);
    }
}

int Application::run(ApplicationDelegate& delegate) {
    mDelegate = &delegate;
    if (mArguments.size() == 2) {
        switch (mRendezvous.establish(mArguments[1])) {
            case ReopenRendezvous::Outcome::Forwarded: return 0;
            case ReopenRendezvous::Outcome::Listening: break;
            case ReopenRendezvous::Outcome::Failed:
                // The command runs all the same: a second launch cannot
                // reach it (it runs as an instance of its own), a signal can.
                ZELVIK_TRACE("no rendezvous for %s: the reopen event is SIGUSR1 alone", mArguments[1].c_str());
                break;
        }
        setUpReopen();
    }
    delegate.applicationWillFinishLaunching();
    eventLoop();
    finish();
    return 0;
}

void Application::setUpReopen() {
    mReopenSignalFd = ::signalfd(-1, &kReopenSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    mReopenAvailable = mReopenSignalFd >= 0 && mWakeFd >= 0 && mStopSignalFd >= 0;
    mReopen.setDropWaiting([this] { dropWaitingReopenEvents(); });
    // Once the command is done, a launch for the next command at the same
    // path must run on its own instead of being taken for a reopen here.
    mReopen.setStopTaking([this] { mRendezvous.stopListening(); });
}

void Application::dropWaitingReopenEvents() {
    if (mReopenSignalFd >= 0) drainSignalFd(mReopenSignalFd);
    mRendezvous.acceptPending();
}

void Application::terminate() {
    if (isCommandThread()) mTerminateFromCommandThread = true;
    mTerminateRequested = true;
    const std::uint64_t one = 1;
    if (mWakeFd >= 0) {
        ssize_t written;
        do {
            written = ::write(mWakeFd, &one, sizeof one);
        } while (written < 0 && errno == EINTR);
    }
}

void Application::detachNewThread(std::function<void()> body) {
    // The thread waits until its identity is recorded, so that it can ask
    // whether it is the command thread from its first step on.
    auto recorded = std::make_shared<std::latch>(1);
    mCommandThread = std::thread([this, recorded, body = std::move(body)] {
        recorded->wait();
        body();
        std::lock_guard lock(mCommandMutex);
        mCommandDone = true;
        mCommandDoneCondition.notify_all();
    });
    mCommandThreadId = mCommandThread.get_id();
    recorded->count_down();
}

bool Application::isCommandThread() const { return mCommandThreadId.load() == std::this_thread::get_id(); }

void Application::eventLoop() {
    while (!mTerminateRequested) {
        pollfd fds[4] = {
            {mWakeFd, POLLIN, 0},
            {mStopSignalFd, POLLIN, 0},
            {mReopenSignalFd, POLLIN, 0},
            {mRendezvous.listenFd(), POLLIN, 0},
        };
        // Negative descriptors are ignored by poll. No time-out: the loop
        // sleeps until one of its sources has something.
        int ready = ::poll(fds, 4, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;  // nothing sensible is left to wait on
        }
        if (fds[1].revents & POLLIN) {
            drainSignalFd(mStopSignalFd);
            mTerminateRequested = true;
        }
        if (mTerminateRequested) break;
        int reopenEvents = 0;
        if (fds[2].revents & POLLIN) reopenEvents += drainSignalFd(mReopenSignalFd);
        if (fds[3].revents & POLLIN) reopenEvents += mRendezvous.acceptPending();
        for (int i = 0; i < reopenEvents; ++i) mReopen.deliver();
    }
}

void Application::finish() {
    // The command is over: a launch for the next command at the same path
    // must run rather than be taken for a reopen of this ending instance.
    mRendezvous.close();
    mDelegate->applicationWillTerminate();
    if (mTerminateFromCommandThread) {
        // The command thread asked to end and does nothing more: let it
        // return, so the process ends with its objects torn down in order.
        if (mCommandThread.joinable()) mCommandThread.join();
        return;
    }
    if (mCommandThread.joinable()) {
        // Termination from outside while a command runs: the delegate has
        // asked it to stop. Give it a moment to close what it holds; a
        // command blocked in a transfer ends with the process. Every file it
        // writes is replaced atomically, so nothing is left half-written.
        std::unique_lock lock(mCommandMutex);
        if (mCommandDoneCondition.wait_for(lock, kCommandGracePeriod, [this] { return mCommandDone; })) {
            lock.unlock();
            mCommandThread.join();
            return;
        }
        std::_Exit(0);
    }
}

}  // namespace zelvik
