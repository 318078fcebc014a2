// SPDX-License-Identifier: Apache-2.0
// The Zelvik client library: runs the zelvik helper for a front end.
//
// Each call starts the helper once, in a private directory of its own, and
// turns its status and result files into values:
//
//   zelvik::client::Helper helper = zelvik::client::Helper::installed();
//   auto printers = zelvik::client::listPrinters(helper);
//   if (!printers) std::cerr << printers.error().message() << '\n';
//
// Every command also runs as a Job that can be cancelled from any thread,
// or from a signal handler. Runs of one user on one printer take turns
// (see Helper), and a failure says why (Error::reason(), Error::advice()). Requests the helper would refuse (a PJL
// request over 2047 bytes, a time limit under 1 s, a listing maximum of 0,
// a device URI that XML cannot carry) are refused before it starts, in
// words. watchPrinters() reports printers coming and going. <zelvik/pjl.h>,
// included here, reads PJL answers by block.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include <zelvik/pjl.h>

namespace zelvik::client {

// The program that carries out the commands, what it needs in its
// environment besides the caller's own, and how its runs share a printer.
//
// Runs of one user on one printer take turns: each run that names a
// printer holds the printer's turn (a lock in the user's private runtime
// directory) from the helper's start to its end, so that a status query
// never makes a print job find its printer taken. A listing takes no turn.
struct Helper {
    Helper() = default;
    explicit Helper(std::string path, std::vector<std::string> entries = {})
        : program(std::move(path)), environment(std::move(entries)) {}

    std::string program;
    std::vector<std::string> environment;  // NAME=value

    // How long a query or an active test waits while another run of this
    // user has the printer; then it fails with ErrorKind::busy ("busy: a job
    // is printing") without starting the helper.
    std::chrono::milliseconds queryWait{2000};
    // How long a print job waits for its turn; none: until the turn comes
    // (a query's, at most its time limit), while cancel() ends the wait.
    std::optional<std::chrono::milliseconds> printWait;
    // How long a print job whose printer another program holds
    // (Reason::printerHeld, not a byte sent) is started again, with pauses
    // from 0.1 s doubling to 1 s, before it fails.
    std::chrono::milliseconds heldRetry{5000};

    // The installed helper, driving real printers. An installation may be
    // moved (`cmake --install --prefix`): the helper is looked for where it
    // lies in relation to this library (its shared object, or the program
    // the archive is linked into: PREFIX/libexec/zelvik/zelvik seen from
    // PREFIX/bin), and where the build configured it when it is not there.
    static Helper installed();
    // The simulating helper (PREFIX/bin/zelvik-sim, found the same way) on
    // a bus file of virtual printers. The bus file
    // is checked at each call, before the helper starts: one that the
    // simulating helper would refuse (and so see an empty bus) fails the
    // call with ErrorKind::badRequest and a message naming the file, the
    // line and the element, as "bus.xml:12: <statusCod>: not a bus file
    // element". So does any helper whose environment names a bus file.
    static Helper simulated(const std::string& busFile);
    static Helper simulated(const std::string& busFile, std::string program);
};

// Why the printer could not be used, as the helper's printer link names it
// in its trace, or as the client knows it itself (busy).
enum class Reason {
    none,                // not about the printer (a refusal, a file, the helper itself)
    unknown,             // the printer failed, but the helper named no reason (an older helper)
    busy,                // another run of this user has the printer: a job is printing
    busUnreachable,      // the USB devices could not be listed
    noSuchPrinter,       // no printer of the vendor has that device URI
    deviceNotOpened,     // a device could not be opened to identify it
    printerHeld,         // another program holds the printer
    accessDenied,        // this user may not use the printer's device
    claimFailed,         // the printer's interface could not be claimed
    noPipes,             // the printer has no data pipes of the kind needed
    settingNotRestored,  // the printer's interface could not be put back on its setting
    notOpen,             // a transfer without an open printer
    stalled,             // the printer halted the transfer
    timedOut,            // the printer stopped taking data or answering
    deviceGone,          // the printer left the bus
    transferFailed,      // another transfer failure
};
// The reason's name as above ("printerHeld"), stable for scripts and logs.
const char* nameOf(Reason reason);

enum class ErrorKind {
    helperReported,   // the helper's status code, in Error::code()
    badRequest,       // refused before the helper was started
    setupFailed,      // the private directory or the command file
    startFailed,      // the helper could not be started
    noStatus,         // the helper ended without a status file
    resultMissing,    // status 0, but no result file
    resultMalformed,  // status 0, but a result file that makes no sense
    busy,             // another run of this user kept the printer longer than the wait
};

class Error {
public:
    Error(ErrorKind kind, int code, std::string detail = {}, Reason reason = Reason::none)
        : mKind(kind), mCode(code), mDetail(std::move(detail)), mReason(reason) {}
    static Error reported(int code, Reason reason = Reason::none) {
        return Error(ErrorKind::helperReported, code, {}, reason);
    }

    ErrorKind kind() const { return mKind; }
    // The helper's status code (1, 3, 4, 5, 7, 8); 0 for the client's own
    // failures.
    int code() const { return mCode; }
    const std::string& detail() const { return mDetail; }
    // Why the printer could not be used: none when the error is not about
    // the printer, unknown when the helper did not say.
    Reason reason() const { return mReason; }
    // What went wrong, in one line of English without a final full stop.
    std::string message() const;
    // What to do about it, in one line of English that can follow
    // message() after "; " (lower-case, no final full stop); empty when
    // there is nothing to add.
    std::string advice() const;

private:
    ErrorKind mKind;
    int mCode;
    std::string mDetail;
    Reason mReason;
};

// A value or the error that stands in its place.
template <typename T>
class Result {
public:
    Result(T value) : mValue(std::move(value)) {}
    Result(Error error) : mError(std::move(error)) {}

    bool ok() const { return mValue.has_value(); }
    explicit operator bool() const { return ok(); }
    // Only when ok().
    const T& value() const& { return *mValue; }
    T& value() & { return *mValue; }
    T&& value() && { return std::move(*mValue); }
    const T& operator*() const { return *mValue; }
    T& operator*() { return *mValue; }
    const T* operator->() const { return &*mValue; }
    T* operator->() { return &*mValue; }
    // Only when !ok().
    const Error& error() const { return *mError; }

private:
    std::optional<T> mValue;
    std::optional<Error> mError;
};

struct Printer {
    std::string modelName;
    std::string serialNumber;
    std::string deviceURI;
};

// How a job ended when it was not a failure.
struct Completion {
    bool cancelled = false;
    int progress = -1;              // a print's last progress figure (0..100); -1 for none
    std::string answer;             // a PJL query's answer bytes
    std::vector<Printer> printers;  // a listing's printers
    bool active = false;            // whether the printer could be opened
    Reason reason = Reason::none;   // why not, for an active test that says false
};

// A command the helper carries out while the caller goes on.
class Job {
public:
    // Called on the job's own thread with each new figure, rising, 0..100.
    using ProgressHandler = std::function<void(int percent)>;

    // Streams a print file to a printer.
    static Job print(const Helper& helper, const std::string& deviceURI, const std::string& file,
                     ProgressHandler onProgress = {});
    // Sends PJL bytes (at most 2047) and captures the printer's first
    // answer; the time limit is 1 s or more.
    static Job pjl(const Helper& helper, const std::string& deviceURI, std::string_view bytes,
                   std::chrono::seconds timeLimit);
    // Lists the printers, at most `maximum` (1 or more) of them or all.
    static Job list(const Helper& helper, std::optional<int> maximum = std::nullopt);
    // Tells whether a printer is there and can be opened right now.
    static Job active(const Helper& helper, const std::string& deviceURI);

    Job(Job&&) noexcept;
    Job& operator=(Job&&) noexcept;
    // A job still running is cancelled and waited for.
    ~Job();

    // Asks the helper to stop. Callable from any thread and from a signal
    // handler; a cancel after the job ended does nothing. A job still
    // waiting for its printer's turn (or between two starts of a print whose
    // printer another program held) ends at once, cancelled, without
    // starting the helper again. A print or a query
    // is cancelled through the helper's protocol and stops at its next
    // cancel point; a listing or an `active` test, which have none, ends
    // the helper (SIGTERM), which closes the printer within a second.
    void cancel() noexcept;
    // Blocks until the job has ended; the same result on every call.
    const Result<Completion>& wait();
    // Waits at most `limit`: the result once the job has ended, else null.
    const Result<Completion>* waitFor(std::chrono::milliseconds limit);
    // A descriptor that polls readable once the job has ended, and stays so
    // (for an event loop). The job owns it: do not read or close it.
    int endedFd() const noexcept;
    // The last progress figure, -1 before the first.
    int progress() const noexcept;

    struct State;

private:
    explicit Job(std::unique_ptr<State> state);
    std::unique_ptr<State> mState;
};

// One call each; they block until the helper has ended.
// `maximum`: at most that many printers (1 or more); all of them when
// absent or negative.
Result<std::vector<Printer>> listPrinters(const Helper& helper, std::optional<int> maximum = std::nullopt);
Result<std::string> sendPJL(const Helper& helper, const std::string& deviceURI, std::string_view bytes,
                            std::chrono::seconds timeLimit);
Result<Completion> printFile(const Helper& helper, const std::string& deviceURI, const std::string& file,
                             Job::ProgressHandler onProgress = {});
// True when the printer is there and can be opened right now.
Result<bool> isMachineActive(const Helper& helper, const std::string& deviceURI);

// ---- Printers coming and going.

// What a watch reports, one printer or one failed listing at a time, and
// once that its first listing is done. Kinds may be added: a handler
// passes over those it does not know.
struct PrinterEvent {
    enum class Kind {
        added,          // a printer is there that the last listing did not have
        removed,        // a printer of the last listing is gone
        listingFailed,  // a listing failed (`error`); the watch goes on
        // Once, right after the first listing's `added` printers (or its
        // failure): the printers reported so far are all there are now, so
        // none reported means none attached (or none known, after a
        // failure), not a listing still under way.
        ready,
    };
    Kind kind = Kind::added;
    // Before the watch's first successful listing: an `added` printer was
    // there when the watch began (not plugged in since); a failed listing
    // was the first one. Always set on `ready`.
    bool initial = false;
    Printer printer;             // added: as the listing names it; removed: as the last one did
    std::optional<Error> error;  // listingFailed
};

// Lists the printers when the watch starts and again whenever they may have
// changed, and reports the difference (by device URI). Real printers are
// watched through udev (the served vendor's USB devices coming and going),
// a simulated helper's bus file through inotify; a listing runs once the
// events have settled (250 ms after the last one), never while nothing
// happens. Made by watchPrinters(); the watch ends with the object.
class PrinterWatch {
public:
    // Called on the watch's own thread (which blocks all signals), one
    // event at a time: the printers of the first listing as `added`, then
    // `ready`, then each change. It must not throw.
    using Handler = std::function<void(const PrinterEvent& event)>;

    PrinterWatch(PrinterWatch&&) noexcept;
    PrinterWatch& operator=(PrinterWatch&&) noexcept;
    // Stops the watch.
    ~PrinterWatch();

    // Ends the watch from any thread: a listing under way is cancelled (the
    // helper closes the printer within a second), and once stop() returns
    // the handler is not called again. From within the handler it returns at
    // once, and the handler is not called again after that call.
    void stop() noexcept;

    struct State;

private:
    explicit PrinterWatch(std::shared_ptr<State> state);
    friend Result<PrinterWatch> watchPrinters(const Helper& helper, Handler onEvent);
    std::shared_ptr<State> mState;
};

// Starts a watch of `helper`'s printers; an error when what it listens to
// cannot be set up (udev's events, or the bus file's folder).
Result<PrinterWatch> watchPrinters(const Helper& helper, PrinterWatch::Handler onEvent);

// PJL commands as one request: each followed by CR LF, "@PJL " put in front
// where it is missing, the whole wrapped in universal exit language
// sequences.
std::string pjlRequest(const std::vector<std::string>& commands);

}  // namespace zelvik::client
