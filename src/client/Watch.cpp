// SPDX-License-Identifier: Apache-2.0
// Printers coming and going. A thread sleeps in poll() on what announces a
// change (a udev monitor for real printers, inotify on a simulated bus
// file's folder) and on an eventfd that stop() writes. Once the events
// have settled it lists the printers through the helper and reports what
// differs from the last listing (after the first one: that it is done,
// so that a front end can tell "no printers" from "still looking"). While
// nothing happens there is no timer, no listing and no work.
#include <libudev.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "BusFileCheck.h"
#include "Wake.h"
#include "base/UniqueFD.h"
#include "zelvik/client.h"

// The USB vendor whose devices are worth a listing.
#ifndef ZELVIK_CLIENT_VENDOR_ID
#define ZELVIK_CLIENT_VENDOR_ID 0xFFFE
#endif

namespace zelvik::client {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kServedVendor = ZELVIK_CLIENT_VENDOR_ID;
// A listing runs once no event came for this long; a device plugged in
// sends several, and a hub with printers behind it many.
constexpr auto kSettleTime = std::chrono::milliseconds(250);
// ... and at the latest this long after the first event, so that a device
// that keeps coming and going cannot put the listing off for ever.
constexpr auto kLongestDelay = std::chrono::seconds(1);

std::string errorText(int error) { return std::generic_category().message(error); }

// What announces that the printers may have changed.
class ChangeSource {
public:
    virtual ~ChangeSource() = default;
    // The descriptor to sleep on.
    virtual int fd() const = 0;
    // Reads what is pending; true when any of it may change the listing.
    virtual bool drain() = 0;
};

// A hexadecimal number, up to the first character that is not a digit of one.
std::optional<unsigned> hexNumber(const char* text) {
    if (text == nullptr) return std::nullopt;
    unsigned value = 0;
    std::size_t digits = 0;
    for (; text[digits] != '\0'; ++digits) {
        const char c = text[digits];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            break;
        }
        if (value > 0xFFFF) return std::nullopt;
        value = value * 16 + digit;
    }
    if (digits == 0) return std::nullopt;
    return value;
}

// The USB devices of the served vendor coming and going, as udev announces
// them.
class UdevSource final : public ChangeSource {
public:
    ~UdevSource() override {
        if (mMonitor != nullptr) udev_monitor_unref(mMonitor);
        if (mUdev != nullptr) udev_unref(mUdev);
    }

    std::optional<Error> open() {
        mUdev = udev_new();
        if (mUdev == nullptr) return Error(ErrorKind::setupFailed, 0, "udev: " + errorText(errno));
        // The events udev sends once its rules have run (the user's access
        // to the printer is then in place); where no udev runs, the kernel's
        // own.
        const char* group = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
        mMonitor = udev_monitor_new_from_netlink(mUdev, group);
        if (mMonitor == nullptr) return failure("cannot receive udev's events");
        // Only whole USB devices reach this process (the kernel filters).
        if (udev_monitor_filter_add_match_subsystem_devtype(mMonitor, "usb", "usb_device") < 0) {
            return failure("cannot filter udev's events");
        }
        if (udev_monitor_enable_receiving(mMonitor) < 0) return failure("cannot receive udev's events");
        return std::nullopt;
    }

    int fd() const override { return udev_monitor_get_fd(mMonitor); }

    bool drain() override {
        bool relevant = false;
        // Bounded, so that a socket that keeps failing cannot hold the thread.
        for (int round = 0; round < 1024; ++round) {
            errno = 0;
            udev_device* device = udev_monitor_receive_device(mMonitor);
            if (device == nullptr) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                // Events were lost (the socket's buffer ran over) or could
                // not be read: they may have been the vendor's.
                relevant = true;
                if (errno == 0) break;
                continue;
            }
            relevant = relevant || concerns(device);
            udev_device_unref(device);
        }
        return relevant;
    }

private:
    Error failure(const char* what) const {
        return Error(ErrorKind::setupFailed, 0, std::string(what) + ": " + errorText(errno));
    }

    // A device of the served vendor that came or went. Its vendor is read
    // from the kernel's PRODUCT ("vendor/product/release" in hex), else
    // from udev's ID_VENDOR_ID; a device whose vendor is not known counts.
    static bool concerns(udev_device* device) {
        const char* action = udev_device_get_action(device);
        if (action == nullptr || (std::strcmp(action, "add") != 0 && std::strcmp(action, "remove") != 0)) {
            return false;
        }
        std::optional<unsigned> vendor = hexNumber(udev_device_get_property_value(device, "PRODUCT"));
        if (!vendor) vendor = hexNumber(udev_device_get_property_value(device, "ID_VENDOR_ID"));
        return !vendor || *vendor == kServedVendor;
    }

    udev* mUdev = nullptr;
    udev_monitor* mMonitor = nullptr;
};

// A simulated bus file: written in place, renamed over, deleted and made
// again (as editors save), its mode changed. The folder is watched, since
// the file itself may be replaced; a bus file reached through a symbolic
// link is watched in the link's folder and in its target's.
class BusFileSource final : public ChangeSource {
public:
    std::optional<Error> open(const std::string& busFile) {
        mFd = UniqueFD(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        if (mFd.get() < 0) return Error(ErrorKind::setupFailed, 0, "inotify: " + errorText(errno));
        namespace fs = std::filesystem;
        std::vector<fs::path> paths{fs::path(busFile)};
        std::error_code error;
        const fs::path target = fs::canonical(busFile, error);
        if (!error && target != fs::absolute(busFile, error).lexically_normal()) paths.push_back(target);
        for (const fs::path& path : paths) {
            const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
            const int watch =
                ::inotify_add_watch(mFd.get(), folder.c_str(),
                                    IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                                        IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
            if (watch < 0) {
                return Error(ErrorKind::setupFailed, 0,
                             "cannot watch the folder of " + path.string() + ": " + errorText(errno));
            }
            // A link and its target in one folder share its watch.
            mNames.emplace(watch, path.filename().string());
        }
        return std::nullopt;
    }

    int fd() const override { return mFd.get(); }

    bool drain() override {
        bool relevant = false;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t length = ::read(mFd.get(), buffer, sizeof buffer);
            if (length < 0 && errno == EINTR) continue;
            if (length <= 0) break;
            for (const char* at = buffer; at < buffer + length;) {
                inotify_event event{};
                std::memcpy(&event, at, sizeof event);
                const char* name = at + sizeof event;
                at += sizeof event + event.len;
                if ((event.mask & IN_Q_OVERFLOW) != 0) {
                    relevant = true;
                    continue;
                }
                // The folder itself went or changed; else an entry of it,
                // which counts when it is the bus file.
                const auto [first, last] = mNames.equal_range(event.wd);
                for (auto watched = first; watched != last; ++watched) {
                    if (event.len == 0 || watched->second == name) relevant = true;
                }
            }
        }
        return relevant;
    }

private:
    UniqueFD mFd;
    std::multimap<int, std::string> mNames;  // watch descriptor: the bus file's names in that folder
};

}  // namespace

struct PrinterWatch::State {
    Helper helper;
    Handler onEvent;
    std::unique_ptr<ChangeSource> source;  // none: a simulated bus without a file, which never changes
    UniqueFD wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    std::atomic<bool> stopRequested{false};

    std::mutex listingMutex;
    Job* listing = nullptr;  // the listing under way, for stop() to cancel

    std::thread thread;
    std::atomic<std::thread::id> threadId;  // set by the thread itself, before any event
    std::mutex joinMutex;

    // The watch's thread only.
    std::vector<Printer> known;
    bool listedOnce = false;
    bool readyReported = false;

    void run();
    Result<Completion> runListing();
    void list();
    // After the first listing's events: what was reported is all there is.
    void reportReady() {
        if (readyReported) return;
        readyReported = true;
        PrinterEvent ready;
        ready.kind = PrinterEvent::Kind::ready;
        ready.initial = true;
        report(ready);
    }
    void report(const PrinterEvent& event) const {
        if (!stopRequested.load()) onEvent(event);
    }
};

void PrinterWatch::State::run() {
    threadId.store(std::this_thread::get_id());
    // Signals are the front end's business: they go to its own threads.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);

    const int sourceFd = source ? source->fd() : -1;
    bool pending = true;  // the first listing, at once
    Clock::time_point due = Clock::now();
    Clock::time_point latest = due;
    while (!stopRequested.load()) {
        int timeout = -1;
        if (pending) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
        }
        if (pending && timeout == 0) {
            pending = false;
            list();
            continue;
        }
        pollfd fds[2] = {{wake.get(), POLLIN, 0}, {sourceFd, POLLIN, 0}};
        if (::poll(fds, sourceFd >= 0 ? 2 : 1, timeout) < 0) {
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(100));  // out of memory
            continue;
        }
        if (fds[0].revents != 0) {
            detail::drainWake(wake.get());
        }
        if (fds[1].revents != 0 && source->drain()) {
            const Clock::time_point now = Clock::now();
            if (!pending) latest = now + kLongestDelay;
            pending = true;
            due = std::min(now + kSettleTime, latest);
        }
    }
}

Result<Completion> PrinterWatch::State::runListing() {
    Job job = Job::list(helper);
    {
        std::lock_guard lock(listingMutex);
        listing = &job;
    }
    // A stop that came before the job was registered is seen here.
    if (stopRequested.load()) job.cancel();
    Result<Completion> done = job.wait();
    std::lock_guard lock(listingMutex);
    listing = nullptr;
    return done;
}

void PrinterWatch::State::list() {
    // The listing's private directory is gone before anything is reported.
    const Result<Completion> done = runListing();
    if (stopRequested.load() || (done && done->cancelled)) return;
    const bool initial = !listedOnce;
    if (!done) {
        PrinterEvent failed;
        failed.kind = PrinterEvent::Kind::listingFailed;
        failed.initial = initial;
        failed.error = done.error();
        report(failed);
        reportReady();
        return;
    }
    // Compared by URI, each as often as it is listed: the printers gone
    // first, then the new ones, each in listing order.
    const std::vector<Printer>& now = done->printers;
    std::map<std::string, int> balance;
    for (const Printer& p : now) ++balance[p.deviceURI];
    std::vector<PrinterEvent> events;
    for (const Printer& p : known) {
        if (balance[p.deviceURI]-- <= 0) events.push_back({PrinterEvent::Kind::removed, initial, p, std::nullopt});
    }
    balance.clear();
    for (const Printer& p : known) ++balance[p.deviceURI];
    for (const Printer& p : now) {
        if (balance[p.deviceURI]-- <= 0) events.push_back({PrinterEvent::Kind::added, initial, p, std::nullopt});
    }
    known = now;
    listedOnce = true;
    for (const PrinterEvent& event : events) report(event);
    reportReady();
}

PrinterWatch::PrinterWatch(std::shared_ptr<State> state) : mState(std::move(state)) {}
PrinterWatch::PrinterWatch(PrinterWatch&&) noexcept = default;
PrinterWatch& PrinterWatch::operator=(PrinterWatch&& other) noexcept {
    if (this != &other) {
        PrinterWatch gone(std::move(*this));
        mState = std::move(other.mState);
    }
    return *this;
}

PrinterWatch::~PrinterWatch() {
    if (!mState) return;
    stop();
    // Ended from its own handler: the thread ends once the handler returns,
    // and holds the state until then.
    std::lock_guard lock(mState->joinMutex);
    if (mState->thread.joinable()) mState->thread.detach();
}

void PrinterWatch::stop() noexcept {
    if (!mState) return;
    State& state = *mState;
    state.stopRequested.store(true);
    detail::signalWake(state.wake.get());
    {
        std::lock_guard lock(state.listingMutex);
        if (state.listing != nullptr) state.listing->cancel();
    }
    if (std::this_thread::get_id() == state.threadId.load()) return;
    std::lock_guard lock(state.joinMutex);
    if (state.thread.joinable()) state.thread.join();
}

Result<PrinterWatch> watchPrinters(const Helper& helper, PrinterWatch::Handler onEvent) {
    if (!onEvent) return Error(ErrorKind::badRequest, 0, "a watch needs a handler for its events");
    auto state = std::make_shared<PrinterWatch::State>();
    state->helper = helper;
    state->onEvent = std::move(onEvent);
    if (state->wake.get() < 0) return Error(ErrorKind::setupFailed, 0, "eventfd: " + errorText(errno));
    if (const std::optional<std::string> busFile = detail::simulatedBusFile(helper.environment)) {
        if (!busFile->empty()) {
            auto source = std::make_unique<BusFileSource>();
            if (std::optional<Error> error = source->open(*busFile)) return std::move(*error);
            state->source = std::move(source);
        }
    } else {
        auto source = std::make_unique<UdevSource>();
        if (std::optional<Error> error = source->open()) return std::move(*error);
        state->source = std::move(source);
    }
    try {
        std::lock_guard lock(state->joinMutex);
        state->thread = std::thread([state] { state->run(); });
    } catch (const std::system_error& error) {
        return Error(ErrorKind::setupFailed, 0, std::string("cannot start the watch's thread: ") + error.what());
    }
    return PrinterWatch(std::move(state));
}

}  // namespace zelvik::client
