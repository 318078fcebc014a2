// SPDX-License-Identifier: Apache-2.0
// zelvikctl: the printers of the helper from a shell. Lists them, asks them
// PJL questions, sends print files with a progress bar, tells whether one
// can be opened; everything through the client library.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <system_error>

#include "Doctor.h"
#include "Text.h"
#include "zelvik/client.h"
#include "zelvik/recording.h"

#ifndef ZELVIKCTL_VERSION
#define ZELVIKCTL_VERSION "unknown"
#endif

namespace {

using namespace zelvik::client;
using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

// Exit statuses, one per kind of outcome.
enum Exit : int {
    kOk = 0,
    kInactive = 1,          // `active`: the printer cannot be opened; `doctor`: a problem
    kUsage = 2,             // the command line
    kUnreachable = 3,       // printer not found or busy
    kTimedOut = 4,          // no answer in time
    kFileUnusable = 5,      // the file to send
    kHelperFailed = 6,      // the helper ended without its status or result
    kHelperNotStarted = 7,  // the helper could not be started
    kOutputFailed = 8,      // the output could not be written
    kCancelled = 130,       // Ctrl-C, or SIGTERM, SIGHUP, SIGQUIT
};

const char* const kExitTable = "Exit status:\n"
                               "  0    done (active: the printer can be opened)\n"
                               "  1    active: the printer cannot be opened; doctor: a problem was found\n"
                               "  2    the command line is wrong\n"
                               "  3    printer not found or busy\n"
                               "  4    the printer did not answer in time\n"
                               "  5    the file to send cannot be used\n"
                               "  6    the helper failed (no status, no result, or a code it reported)\n"
                               "  7    the helper could not be started\n"
                               "  8    the output could not be written\n"
                               "  130  cancelled by Ctrl-C (or SIGTERM, SIGHUP, SIGQUIT)\n";

struct Options {
    std::string helperPath;
    std::string busFile;
    bool json = false;
    bool jsonLines = false;  // `send`, `list --watch`: a document per line
};

// The helper built beside this program, when run from the build tree.
std::string besideUs(const char* name) {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    const auto candidate = self.parent_path().parent_path() / "app" / name;
    return std::filesystem::is_regular_file(candidate, error) ? candidate.string() : std::string();
}

Helper helperFor(const Options& options) {
    if (!options.busFile.empty()) {
        std::string program = options.helperPath;
        if (program.empty()) program = besideUs("zelvik-sim");
        return program.empty() ? Helper::simulated(options.busFile) : Helper::simulated(options.busFile, program);
    }
    if (!options.helperPath.empty()) return Helper{options.helperPath, {}};
    const std::string built = besideUs("zelvik");
    return built.empty() ? Helper::installed() : Helper{built, {}};
}

// ---- Ctrl-C: the first one cancels the running job, later ones are
// ignored, so that the helper can close the printer. A termination, a
// hang-up (the terminal closed) and a quit are a Ctrl-C too: the job is
// never left running without us, nor our private directory behind.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
std::atomic<Job*> gJob{nullptr};
volatile sig_atomic_t gInterrupted = 0;

void onInterrupt(int) {
    if (gInterrupted) return;
    gInterrupted = 1;
    if (Job* job = gJob.load()) job->cancel();
}

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : kStopSignals) sigaddset(&set, number);
    return set;
}

void catchInterrupts() {
    // Without SA_RESTART: a wait of ours that a stop signal interrupts ends.
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int number : kStopSignals) sigaction(number, &action, nullptr);
    // A reader that went away is an output that failed, found at the end;
    // it must not end us with the helper running.
    signal(SIGPIPE, SIG_IGN);
}

// Runs `job` to its end with Ctrl-C routed to it.
Result<Completion> follow(Job& job) {
    gJob.store(&job);
    if (gInterrupted) job.cancel();
    Result<Completion> result = job.wait();
    // The handler runs only on this thread (the library's threads block
    // signals), so with the stop signals blocked here it cannot be inside
    // cancel().
    const sigset_t stops = stopSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    gJob.store(nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return result;
}

std::string errorText(int error) { return std::generic_category().message(error); }

// ---- Errors: one line on stderr, the exit status for its kind.
int exitFor(const Error& error) {
    switch (error.kind()) {
        case ErrorKind::helperReported:
            switch (error.code()) {
                case 7: return kUnreachable;
                case 8: return kTimedOut;
                case 4: return kFileUnusable;
                default: return kHelperFailed;
            }
        case ErrorKind::badRequest: return kUsage;
        case ErrorKind::setupFailed:
        case ErrorKind::startFailed: return kHelperNotStarted;
        case ErrorKind::noStatus:
        case ErrorKind::resultMissing:
        case ErrorKind::resultMalformed: return kHelperFailed;
        case ErrorKind::busy: return kUnreachable;
    }
    return kHelperFailed;
}

std::string hintFor(const Error& error, const std::string& subject) {
    const std::string on = subject.empty() ? std::string() : ": " + subject;
    if (const std::string advice = error.advice(); !advice.empty()) return error.message() + on + "; " + advice;
    if (error.kind() == ErrorKind::helperReported) {
        switch (error.code()) {
            case 8: return error.message() + on + "; a longer --timeout may help";
            case 4: return error.message() + on + "; give a readable regular file";
            default: return error.message() + on;
        }
    }
    if (error.kind() == ErrorKind::startFailed || error.kind() == ErrorKind::noStatus) {
        return error.message() + "; give the helper's path with --helper";
    }
    return error.message() + on;
}

// One line on stderr, made visible: it may quote what a device sent.
void complain(const std::string& text) {
    std::cerr << "zelvikctl: " << zelvikctl::visible(text, zelvikctl::LineFeeds::show) << '\n';
}

// JSON as ASCII, so that no control character reaches a terminal; bytes
// that are not UTF-8 become U+FFFD instead of ending the output. Indented,
// or on one line.
void print(const Json& document, bool oneLine = false) {
    std::cout << document.dump(oneLine ? -1 : 2, ' ', true, Json::error_handler_t::replace) << '\n';
}

// A reason's name, null for none.
Json reasonField(Reason reason) { return reason == Reason::none ? Json(nullptr) : Json(nameOf(reason)); }

// Output that could not be written, with the errno of the failure (0: not known).
int outputLost(int error) {
    complain(std::string("cannot write the output") + (error != 0 ? ": " + errorText(error) : std::string()));
    return kOutputFailed;
}

// An error as JSON: what went wrong, the helper's code, why, what to do.
Json errorJson(const Error& error) {
    const std::string advice = error.advice();
    return {{"message", error.message()},
            {"helperCode", error.code()},
            {"reason", reasonField(error.reason())},
            {"advice", advice.empty() ? Json(nullptr) : Json(advice)}};
}

int fail(const Options& options, const Error& error, const std::string& subject) {
    complain(hintFor(error, subject));
    if (options.json) print({{"error", errorJson(error)}}, options.jsonLines);
    return exitFor(error);
}

// ---- The commands.
// A cancel is an outcome, not a failure: it goes to standard output.
int cancelledExit(const Options& options, int progress) {
    if (options.json) {
        print({{"cancelled", true}, {"progress", progress}}, options.jsonLines);
    } else if (progress >= 0) {
        std::cout << "cancelled at " << progress << "%\n";
    } else {
        std::cout << "cancelled\n";
    }
    return kCancelled;
}

int listCommand(const Options& options, std::optional<int> maximum) {
    Job job = Job::list(helperFor(options), maximum);
    const Result<Completion> done = follow(job);
    if (gInterrupted) return cancelledExit(options, -1);
    if (!done) return fail(options, done.error(), {});
    const std::vector<Printer>& printers = done->printers;
    if (options.json) {
        Json list = Json::array();
        for (const auto& p : printers) {
            list.push_back({{"modelName", p.modelName}, {"serialNumber", p.serialNumber}, {"deviceURI", p.deviceURI}});
        }
        print({{"printers", list}});
    } else if (printers.empty()) {
        std::cout << "no printers found\n";
    } else {
        using zelvikctl::LineFeeds;
        using zelvikctl::visible;
        std::vector<std::vector<std::string>> rows{{"MODEL", "SERIAL", "URI"}};
        for (const auto& p : printers) {
            rows.push_back({visible(p.modelName, LineFeeds::show), visible(p.serialNumber, LineFeeds::show),
                            visible(p.deviceURI, LineFeeds::show)});
        }
        std::cout << zelvikctl::table(rows);
    }
    return kOk;
}

// `list --watch`: the printers there now, then each that comes or goes, one
// line each ("+ URI", "- URI"; JSON lines, with a "ready" line once the
// printers there now are all listed), until a stop signal. A listing that
// fails later on is told on stderr and the watch goes on; the first one
// ends it as `list` would.
int watchCommand(const Options& options) {
    // This thread waits for a stop signal or for the watch's thread to say
    // it is over (the first listing failed, the output cannot be written).
    const int over = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (over < 0) {
        complain("cannot watch: " + errorText(errno));
        return kHelperNotStarted;
    }
    std::optional<Error> firstFailure;
    std::optional<int> outputError;
    auto end = [over] {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(over, &one, sizeof one);
    };
    auto show = [&](const PrinterEvent& event) {
        if (event.kind == PrinterEvent::Kind::listingFailed) {
            if (event.initial) {
                firstFailure = event.error;
                return end();
            }
            complain("a listing failed: " + hintFor(*event.error, {}) + "; still watching");
            if (options.json) print({{"event", "listingFailed"}, {"error", errorJson(*event.error)}}, true);
        } else if (event.kind == PrinterEvent::Kind::ready) {
            // The text needs no line: the printers there now came first.
            if (!options.json || firstFailure) return;
            print({{"event", "ready"}}, true);
        } else if (options.json) {
            const Printer& p = event.printer;
            print({{"event", event.kind == PrinterEvent::Kind::added ? "added" : "removed"},
                   {"initial", event.initial},
                   {"printer",
                    {{"modelName", p.modelName}, {"serialNumber", p.serialNumber}, {"deviceURI", p.deviceURI}}}},
                  true);
        } else {
            std::cout << (event.kind == PrinterEvent::Kind::added ? "+ " : "- ")
                      << zelvikctl::visible(event.printer.deviceURI, zelvikctl::LineFeeds::show) << '\n';
        }
        // Each line as it comes; a reader that went away ends the watch.
        errno = 0;
        std::cout.flush();
        if (!std::cout.good() && !outputError) {
            outputError = errno;
            end();
        }
    };

    const sigset_t stops = stopSignals();
    sigset_t waiting;
    pthread_sigmask(SIG_BLOCK, &stops, &waiting);
    Result<PrinterWatch> watch = watchPrinters(helperFor(options), show);
    while (watch && !gInterrupted) {
        pollfd ready{over, POLLIN, 0};
        if (::ppoll(&ready, 1, nullptr, &waiting) > 0) break;
    }
    // No event comes after this.
    if (watch) watch->stop();
    pthread_sigmask(SIG_SETMASK, &waiting, nullptr);
    ::close(over);
    if (!watch) return fail(options, watch.error(), {});
    if (firstFailure) return fail(options, *firstFailure, {});
    if (outputError) return outputLost(*outputError);
    return gInterrupted ? kCancelled : kOk;
}

Result<std::string> query(const Options& options, const std::string& uri, const std::string& bytes, int timeout) {
    Job job = Job::pjl(helperFor(options), uri, bytes, std::chrono::seconds(timeout));
    const Result<Completion> done = follow(job);
    if (!done) return done.error();
    if (done->cancelled) return Error(ErrorKind::badRequest, 0, "cancelled");
    return done->answer;
}

// The longest request the helper takes.
constexpr std::size_t kLongestRequest = 2047;

// Reads a request file, one byte more than a request may hold at most: a
// FIFO or a pipe is waited on until its writer is done, and a stop signal
// ends the wait. 0, or an exit status.
int readRequestFile(const std::string& file, std::string& bytes) {
    // The stop signals are let through only while waiting, so that one that
    // comes just before a wait still ends it.
    const sigset_t stops = stopSignals();
    sigset_t waiting;
    pthread_sigmask(SIG_BLOCK, &stops, &waiting);
    struct Restore {
        sigset_t mask;
        int fd = -1;
        ~Restore() {
            if (fd >= 0) ::close(fd);
            pthread_sigmask(SIG_SETMASK, &mask, nullptr);
        }
    } restore{waiting};
    restore.fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (restore.fd < 0) {
        complain("cannot read " + file + ": " + errorText(errno));
        return kFileUnusable;
    }
    char buffer[kLongestRequest + 1];
    std::size_t have = 0;
    for (;;) {
        if (gInterrupted) return kCancelled;
        pollfd ready{restore.fd, POLLIN, 0};
        if (::ppoll(&ready, 1, nullptr, &waiting) < 0) {
            if (errno == EINTR) continue;
            complain("cannot read " + file + ": " + errorText(errno));
            return kFileUnusable;
        }
        const ssize_t n = ::read(restore.fd, buffer + have, sizeof buffer - have);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n < 0) {
            complain("cannot read " + file + ": " + errorText(errno));
            return kFileUnusable;
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
        if (have == sizeof buffer) {
            complain(file + " holds more than 2047 bytes, the most a PJL request may hold");
            return kFileUnusable;
        }
    }
    bytes.assign(buffer, have);
    return 0;
}

int pjlCommand(const Options& options, const std::string& uri, const std::vector<std::string>& commands,
               const std::string& file, int timeout, bool raw) {
    std::string bytes;
    if (!file.empty()) {
        const int status = readRequestFile(file, bytes);
        if (status == kCancelled) return cancelledExit(options, -1);
        if (status != 0) return status;
    }
    if (!commands.empty()) bytes += pjlRequest(commands);
    if (bytes.empty()) {
        complain("nothing to send: give PJL commands or --file");
        return kUsage;
    }
    const auto answer = query(options, uri, bytes, timeout);
    if (gInterrupted) return cancelledExit(options, -1);
    if (!answer) return fail(options, answer.error(), uri);
    if (options.json) {
        print({{"deviceURI", uri}, {"answer", *answer}});
    } else if (raw) {
        std::cout << *answer << std::flush;
    } else {
        std::cout << zelvikctl::visible(*answer);
        if (!answer->empty() && answer->back() != '\n') std::cout << '\n';
    }
    return kOk;
}

int infoCommand(const Options& options, const std::string& uri, int timeout) {
    zelvikctl::PrinterInfo info;
    int unanswered = 0;
    std::optional<Error> lastError;
    for (const char* question : {"INFO ID", "INFO STATUS", "INFO PAGECOUNT"}) {
        const auto answer = query(options, uri, pjlRequest({question}), timeout);
        if (gInterrupted) return cancelledExit(options, -1);
        if (answer) {
            zelvikctl::readInfoAnswer(question, *answer, info);
            continue;
        }
        // A printer that does not know one question may know the others.
        if (answer.error().kind() != ErrorKind::helperReported || answer.error().code() != 8) {
            return fail(options, answer.error(), uri);
        }
        ++unanswered;
        lastError = answer.error();
    }
    if (unanswered == 3) return fail(options, *lastError, uri);
    if (options.json) {
        auto field = [](const auto& value) { return value ? Json(*value) : Json(nullptr); };
        print({{"deviceURI", uri},
               {"model", field(info.model)},
               {"statusCode", field(info.statusCode)},
               {"display", field(info.display)},
               {"online", field(info.online)},
               {"pageCount", field(info.pageCount)}});
    } else {
        std::cout << zelvikctl::infoBlock(info);
    }
    return kOk;
}

unsigned terminalWidth() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20) return size.ws_col;
    return 80;
}

int sendCommand(const Options& options, const std::string& uri, const std::string& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    const std::uint64_t total = error ? 0 : size;
    const bool live = !options.json && ::isatty(STDOUT_FILENO);
    const unsigned width = terminalWidth();
    const auto started = Clock::now();
    std::mutex drawing;

    // What `percent` of the file is, in bytes.
    auto bytesAt = [total](int percent) {
        const auto share = static_cast<std::uint64_t>(std::clamp(percent, 0, 100));
        return total / 100 * share + total % 100 * share / 100;
    };
    Job job = Job::print(helperFor(options), uri, file, [&](int percent) {
        std::lock_guard lock(drawing);
        if (options.json) {
            print({{"progress", percent}, {"bytesSent", bytesAt(percent)}, {"bytesTotal", total}}, true);
            std::cout << std::flush;
        } else if (live) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
            std::cout << '\r' << zelvikctl::progressBar(percent, total, elapsed, width) << "\x1b[K" << std::flush;
        } else {
            std::cout << percent << "%\n" << std::flush;
        }
    });
    const Result<Completion> done = follow(job);
    if (live) {
        std::lock_guard lock(drawing);
        std::cout << '\n' << std::flush;
    }
    if (!done) return fail(options, done.error(), done.error().code() == 4 ? file : uri);
    if (done->cancelled) return cancelledExit(options, std::max(done->progress, 0));
    if (options.json) {
        print({{"deviceURI", uri},
               {"file", file},
               {"cancelled", false},
               {"progress", done->progress},
               {"bytesSent", bytesAt(done->progress)},
               {"bytesTotal", total}},
              true);
    } else if (!live) {
        std::cout << "sent " << file << " to " << uri << '\n';
    }
    return kOk;
}

int doctorCommand(const Options& options) {
    zelvikctl::DoctorRoots roots;
    roots.canOpen = [](const std::string& node) { return ::access(node.c_str(), R_OK | W_OK) == 0; };
    const zelvikctl::DoctorReport report = zelvikctl::examine(ZELVIKCTL_VENDOR_ID, roots);
    if (gInterrupted) return cancelledExit(options, -1);
    if (options.json) {
        auto findings = [&](const std::vector<zelvikctl::Finding>& list) {
            Json out = Json::array();
            for (const auto& f : list) {
                Json one = {{"kind", zelvikctl::kindName(f.kind)}, {"text", f.text}};
                if (!f.fix.empty()) one["fix"] = f.fix;
                out.push_back(one);
            }
            return out;
        };
        Json devices = Json::array();
        for (const auto& d : report.devices) {
            Json interfaces = Json::array();
            for (const auto& i : d.interfaces) {
                interfaces.push_back({{"number", i.number},
                                      {"class", i.interfaceClass},
                                      {"driver", i.driver.empty() ? Json(nullptr) : Json(i.driver)}});
            }
            devices.push_back({{"port", d.sysfsName},
                               {"bus", d.bus},
                               {"device", d.device},
                               {"productID", d.productID},
                               {"product", d.product},
                               {"printerInterface", d.printerInterface},
                               {"node", d.node},
                               {"accessible", d.accessible},
                               {"interfaces", interfaces},
                               {"findings", findings(d.findings)}});
        }
        print({{"vendorID", report.vendorID},
               {"ruleInstalled", report.ruleInstalled},
               {"healthy", report.healthy()},
               {"findings", findings(report.findings)},
               {"devices", devices}});
    } else {
        std::cout << zelvikctl::doctorText(report);
    }
    return report.healthy() ? kOk : kInactive;
}

int activeCommand(const Options& options, const std::string& uri) {
    Job job = Job::active(helperFor(options), uri);
    const Result<Completion> done = follow(job);
    if (gInterrupted) return cancelledExit(options, -1);
    if (!done) return fail(options, done.error(), uri);
    if (options.json) {
        print({{"deviceURI", uri}, {"active", done->active}, {"reason", reasonField(done->reason)}});
    } else {
        std::cout << (done->active ? "True" : "False") << '\n';
        // Why not, on the side.
        if (!done->active) complain(hintFor(Error::reported(7, done->reason), uri));
    }
    return done->active ? kOk : kInactive;
}

// The questions a recording asks, each on its own as `pjl` and `info` ask
// it; none changes a setting of the printer.
const char* const kRecordedQuestions[] = {"INFO ID",        "INFO STATUS",    "INFO CONFIG",
                                          "INFO PAGECOUNT", "INFO VARIABLES", "ECHO zelvikctl record"};

// Writes a file whole: beside it first (mode 0600: a recording may name
// the printer), then renamed over it. 0, or the errno of the failure.
int saveWhole(const std::string& path, const std::string& content) {
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) return EEXIST;
    const std::filesystem::path target(path);
    std::string temporary =
        (target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path()) / ".zelvikctl-XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return errno;
    std::size_t written = 0;
    int error = 0;
    while (written < content.size() && error == 0) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno != EINTR) error = errno;
        if (n > 0) written += static_cast<std::size_t>(n);
    }
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(temporary.c_str());
    return error;
}

int recordCommand(const Options& options, const std::string& uri, const std::string& output, bool anonymize,
                  int timeout) {
    if (options.json && output.empty()) {
        complain("record --json needs --output: the bus file and the JSON cannot share the standard output");
        return kUsage;
    }
    // Found out before the printer is asked anything.
    if (struct stat existing{};
        !output.empty() && ::lstat(output.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
        complain("--output " + output + " is not a regular file");
        return kUsage;
    }
    const Recording recording;
    if (!recording.made()) {
        complain("cannot make a private directory for the recording: " + errorText(errno));
        return kHelperNotStarted;
    }
    const Helper helper = recording.recordingHelper(helperFor(options));
    Job listing = Job::list(helper);
    const Result<Completion> listed = follow(listing);
    if (gInterrupted) return cancelledExit(options, -1);
    if (!listed) return fail(options, listed.error(), {});

    std::vector<std::pair<std::string, bool>> asked;
    for (const char* question : kRecordedQuestions) {
        Job job = Job::pjl(helper, uri, pjlRequest({question}), std::chrono::seconds(timeout));
        const Result<Completion> done = follow(job);
        if (gInterrupted) return cancelledExit(options, -1);
        // A question the printer leaves unanswered is recorded as its silence.
        const bool silent = !done && done.error().kind() == ErrorKind::helperReported && done.error().code() == 8;
        if (!done && !silent) return fail(options, done.error(), uri);
        asked.emplace_back(question, !silent);
    }

    const Result<RecordedPrinter> printer = recording.printer(uri, anonymize);
    if (!printer) return fail(options, printer.error(), uri);
    if (output.empty()) {
        std::cout << printer->busFile;
        return kOk;
    }
    if (const int error = saveWhole(output, printer->busFile); error != 0) {
        complain("cannot write " + output + ": " + (error == EEXIST ? "not a regular file" : errorText(error)));
        return kOutputFailed;
    }
    if (options.json) {
        Json questions = Json::array();
        for (const auto& [question, answered] : asked)
            questions.push_back({{"question", question}, {"answered", answered}});
        print({{"deviceURI", uri},
               {"output", output},
               {"replayURI", printer->deviceURI},
               {"anonymized", anonymize},
               {"questions", questions}});
        return kOk;
    }
    using zelvikctl::LineFeeds;
    using zelvikctl::visible;
    std::cout << "recorded " << visible(uri, LineFeeds::show) << " into " << visible(output, LineFeeds::show) << '\n';
    for (const auto& [question, answered] : asked) {
        std::cout << "  " << question << ": " << (answered ? "answered" : "no answer") << '\n';
    }
    if (anonymize) std::cout << "it replays as " << visible(printer->deviceURI, LineFeeds::show) << '\n';
    return kOk;
}

// What the command printed must have reached its file, pipe or terminal: a
// command whose answer was lost has not succeeded.
int checkOutput(int status) {
    errno = 0;
    std::cout.flush();
    const bool failed = !std::cout.good() || std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    if (!failed || status > kInactive) return status;
    return outputLost(errno);
}

}  // namespace
// What can still leave main is std::bad_alloc or a CLI11 construction error
// (a mistake in the option table above): both should end the run abnormally.
// NOLINTNEXTLINE(bugprone-exception-escape)
int main(int argc, char** argv) {
    CLI::App app{"zelvikctl: lists the USB printers, asks them PJL questions, sends them print files."};
    app.footer(kExitTable);
    app.set_version_flag("--version", std::string("zelvikctl ") + ZELVIKCTL_VERSION);
    app.require_subcommand(1);

    Options options;
    app.add_option("--helper", options.helperPath, "The helper program to run (default: the installed one)");
    app.add_option("--simulated", options.busFile, "Run the simulating helper on this bus file of virtual printers");
    app.add_flag("--json", options.json, "One JSON document on standard output");

    auto* list = app.add_subcommand("list", "List the attached printers");
    int maximum = -1;
    bool watch = false;
    auto* max = list->add_option("--max", maximum, "At most this many printers")->check(CLI::NonNegativeNumber);
    list->add_flag("--watch", watch, "Then one line per printer that comes (+ URI) or goes (- URI), until Ctrl-C")
        ->excludes(max);

    auto* pjl = app.add_subcommand("pjl", "Send PJL commands and show the answer");
    std::string uri;
    std::vector<std::string> commands;
    std::string file;
    int timeout = 10;
    bool raw = false;
    pjl->add_option("uri", uri, "The printer's device URI (see 'zelvikctl list')")->required();
    pjl->add_option("commands", commands, "PJL commands, for example \"INFO STATUS\"");
    pjl->add_option("--file", file, "Send this file's bytes (before the commands)");
    pjl->add_option("--timeout", timeout, "Seconds to wait for the answer")->check(CLI::NonNegativeNumber);
    pjl->add_flag("--raw", raw, "Print the answer as it came, control characters included");

    auto* info = app.add_subcommand("info", "Show a printer's model, status and page count");
    info->add_option("uri", uri, "The printer's device URI")->required();
    info->add_option("--timeout", timeout, "Seconds to wait for each answer")->check(CLI::NonNegativeNumber);

    auto* send = app.add_subcommand("send", "Send a print file, with its progress; Ctrl-C cancels");
    send->add_option("uri", uri, "The printer's device URI")->required();
    send->add_option("file", file, "The print file")->required();

    auto* active = app.add_subcommand("active", "Tell whether a printer can be opened now (True or False)");
    active->add_option("uri", uri, "The printer's device URI")->required();

    app.add_subcommand("doctor", "Tell why a printer does not show up or cannot be opened (nothing is opened)");

    auto* record = app.add_subcommand("record", "Record a printer's answers to harmless questions as a bus file");
    std::string output;
    bool anonymize = false;
    record->add_option("uri", uri, "The printer's device URI")->required();
    record->add_option("--output", output, "Write the bus file here (default: the standard output)");
    record->add_flag("--anonymize", anonymize, "Replace the serial number by a stand-in everywhere");
    record->add_option("--timeout", timeout, "Seconds to wait for each answer")->check(CLI::NonNegativeNumber);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? kOk : kUsage;
    }

    catchInterrupts();
    int status = kUsage;
    if (*list && watch) {
        options.jsonLines = options.json;
        status = watchCommand(options);
    } else if (*list) {
        status = listCommand(options, maximum < 0 ? std::nullopt : std::optional<int>(maximum));
    } else if (*pjl) {
        status = pjlCommand(options, uri, commands, file, timeout, raw);
    } else if (*info) {
        status = infoCommand(options, uri, timeout);
    } else if (*send) {
        options.jsonLines = options.json;
        status = sendCommand(options, uri, file);
    } else if (*active) {
        status = activeCommand(options, uri);
    } else if (*app.get_subcommand("doctor")) {
        status = doctorCommand(options);
    } else if (*record) {
        status = recordCommand(options, uri, output, anonymize, timeout);
    }
    return checkOutput(status);
}
