// SPDX-License-Identifier: Apache-2.0
// One run of the helper: a private directory with the command file, the
// child, and a poll loop that sleeps until the child ends, a file in the
// directory changes (inotify) or the caller cancels (an eventfd).
#include "zelvik/client.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "BusFileCheck.h"
#include "HelperTrace.h"
#include "Process.h"
#include "Turns.h"
#include "Wake.h"
#include "base/UniqueFD.h"
#include "xml/KxXmlDataConverter.h"

// Where the build installs the helpers, and where they lie seen from the
// folder of the programs and from that of the libraries (empty when the
// folders are not all under the one prefix, so that no relation holds).
#ifndef ZELVIK_INSTALLED_HELPER
#define ZELVIK_INSTALLED_HELPER "/usr/libexec/zelvik/zelvik"
#endif
#ifndef ZELVIK_INSTALLED_SIM_HELPER
#define ZELVIK_INSTALLED_SIM_HELPER "/usr/bin/zelvik-sim"
#endif
#ifndef ZELVIK_HELPER_FROM_BINDIR
#define ZELVIK_HELPER_FROM_BINDIR ""
#define ZELVIK_SIM_HELPER_FROM_BINDIR ""
#define ZELVIK_HELPER_FROM_LIBDIR ""
#define ZELVIK_SIM_HELPER_FROM_LIBDIR ""
#endif

namespace zelvik::client {
namespace {

namespace fs = std::filesystem;

// Something of this library, whose address tells which loaded object holds it.
const char kAnchor = 0;

// The folder of this library when it is a shared object; nothing when it
// is linked into the program itself.
std::optional<fs::path> libraryFolder() {
    Dl_info info{};
    void* found = nullptr;
    if (::dladdr1(&kAnchor, &info, &found, RTLD_DL_LINKMAP) == 0 || found == nullptr) return std::nullopt;
    // The program's own entry has no name.
    const char* name = static_cast<const link_map*>(found)->l_name;
    if (name == nullptr || name[0] == '\0') return std::nullopt;
    // The folder the library lies in, not the one it was found through: a
    // merged /usr finds /usr/lib's libraries as /lib/..., whose neighbours
    // are not the installation's.
    std::error_code error;
    const fs::path path = fs::canonical(name, error);
    if (error) return std::nullopt;
    return path.parent_path();
}

std::optional<fs::path> programFolder() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error || self.empty()) return std::nullopt;
    return self.parent_path();
}

// An installed program: where it lies in relation to the library or the
// program that asks, when it is there; else where the build installed it.
std::string installedProgram(const char* fromLibraryFolder, const char* fromProgramFolder, const char* configured) {
    std::vector<fs::path> candidates;
    if (fromLibraryFolder[0] != '\0') {
        if (const auto folder = libraryFolder()) candidates.push_back(*folder / fromLibraryFolder);
    }
    if (fromProgramFolder[0] != '\0') {
        if (const auto folder = programFolder()) candidates.push_back(*folder / fromProgramFolder);
    }
    for (const fs::path& candidate : candidates) {
        const fs::path program = candidate.lexically_normal();
        std::error_code error;
        if (fs::is_regular_file(program, error) && ::access(program.c_str(), X_OK) == 0) return program.string();
    }
    return configured;
}

}  // namespace

Helper Helper::installed() {
    return Helper{installedProgram(ZELVIK_HELPER_FROM_LIBDIR, ZELVIK_HELPER_FROM_BINDIR, ZELVIK_INSTALLED_HELPER), {}};
}
Helper Helper::simulated(const std::string& busFile) {
    return simulated(busFile, installedProgram(ZELVIK_SIM_HELPER_FROM_LIBDIR, ZELVIK_SIM_HELPER_FROM_BINDIR,
                                               ZELVIK_INSTALLED_SIM_HELPER));
}
Helper Helper::simulated(const std::string& busFile, std::string program) {
    std::error_code ignored;
    const auto absolute = std::filesystem::absolute(busFile, ignored);
    return Helper{std::move(program), {"ZELVIK_SIMULATED_BUS=" + (absolute.empty() ? busFile : absolute.string())}};
}

namespace {

using Parameters = std::vector<std::pair<std::string, std::string>>;

constexpr std::size_t kLongestPJLRequest = 2047;  // what the helper reads in one go
constexpr std::size_t kLargestResult = std::size_t{16} * 1024 * 1024;
// A print job's trace has its head freed past this: it gets a line per
// chunk sent.
constexpr std::size_t kLongestTrace = std::size_t{256} * 1024;
// The pauses between the starts of a print whose printer another program
// held: doubling from the first to the last.
constexpr std::chrono::milliseconds kFirstHeldPause{100};
constexpr std::chrono::milliseconds kLastHeldPause{1000};

// The text of an errno value without strerror's shared buffer: jobs may
// run on several threads at once.
std::string errorText(int error) { return std::generic_category().message(error); }

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// The whole content of a regular file; nothing when it is absent, no
// regular file or larger than `limit`.
std::optional<std::string> readFile(const std::string& path, std::size_t limit = kLargestResult) {
    UniqueFD fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    std::string content;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return content;
        if (content.size() + static_cast<std::size_t>(n) > limit) return std::nullopt;
        content.append(chunk, static_cast<std::size_t>(n));
    }
}

// Writes a new file under a temporary name and renames it into place, so
// that the helper never reads a part of it.
bool writeFileWhole(const std::string& path, const std::string& content) {
    const std::string part = path + ".part";
    {
        UniqueFD fd(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (fd.get() < 0) return false;
        std::size_t done = 0;
        while (done < content.size()) {
            const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ::unlink(part.c_str());
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    if (::rename(part.c_str(), path.c_str()) != 0) {
        ::unlink(part.c_str());
        return false;
    }
    return true;
}

// What a parameter is, in a refusal.
std::string describeParameter(const std::string& name) {
    if (name == "deviceURI") return "the device URI";
    if (name == "outputFilePath") return "the path of the file to send";
    return "the path of the private directory";
}

std::optional<std::string> commandXml(const std::string& command, const std::string& statusPath,
                                      const Parameters& parameters) {
    Dictionary body;
    body.set("command", Value(command));
    body.set("statusFilePath", Value(statusPath));
    for (const auto& [name, value] : parameters) body.set(name, Value(value));
    const KxXmlDataConverter converter;
    const std::optional<Bytes> xml = converter.copyDictionaryToXmlDataNS(body, "commandBody");
    if (!xml) return std::nullopt;
    return std::string(xml->begin(), xml->end());
}

std::optional<Dictionary> readXml(const std::string& path) {
    const std::optional<std::string> text = readFile(path);
    if (!text) return std::nullopt;
    const KxXmlDataConverter converter;
    return converter.copyXMLDataToDictionaryNS(Bytes(text->begin(), text->end()));
}

// A whole decimal number, nothing else.
std::optional<long long> wholeNumber(std::string_view text) {
    long long value = 0;
    if (text.empty() || text.size() > 18) return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<int> statusCode(const std::string& path) {
    const std::optional<Dictionary> document = readXml(path);
    if (!document) return std::nullopt;
    const Dictionary* body = document->findDictionary("statusBody");
    const std::string* code = body != nullptr ? body->findString("errorCode") : nullptr;
    if (code == nullptr) return std::nullopt;
    const std::optional<long long> number = wholeNumber(*code);
    if (!number || *number < 0 || *number > 255) return std::nullopt;
    return static_cast<int>(*number);
}

// A progress file's figure; a file grown while it was sent may show more
// than 100, which is 100.
std::optional<int> progressFigure(const std::string& path) {
    const std::optional<std::string> text = readFile(path, 32);
    if (!text) return std::nullopt;
    const std::optional<long long> number = wholeNumber(*text);
    if (!number || *number < 0) return std::nullopt;
    return static_cast<int>(std::min<long long>(*number, 100));
}

std::string describeStatus(int status) {
    if (WIFSIGNALED(status)) return std::string("it was ended by signal ") + std::to_string(WTERMSIG(status));
    return "it exited with " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

// What a job needs to know about its command, fixed before it starts.
struct Job::State {
    enum class Kind { print, pjl, list, active };
    Kind kind = Kind::print;
    std::string command;
    Parameters parameters;
    std::string pjlBytes;
    long long timeLimit = 0;     // a query's, in seconds
    std::optional<int> maximum;  // a listing's
    std::string printFile;       // a print's, as the caller named it
    ProgressHandler onProgress;
    std::string helperProgram;
    std::vector<std::string> helperEnvironment;
    std::string deviceURI;                 // none for a listing, which takes no turn
    std::vector<std::string> turnFolders;  // where the printer's turn is kept
    std::chrono::milliseconds queryWait{0};
    std::optional<std::chrono::milliseconds> printWait;
    std::chrono::milliseconds heldRetry{0};
    std::string callerTrace;  // the caller's own ZELVIK_TRACE, which gets a copy of each run's

    detail::PrivateDirectory dir;
    std::string commandPath, statusPath, resultPath, cancelStatusPath, queryPath, tracePath;
    UniqueFD wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    UniqueFD endedEvent{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    std::atomic<bool> cancelRequested{false};
    std::atomic<int> lastProgress{-1};

    std::mutex mutex;
    std::condition_variable ended;
    std::optional<Result<Completion>> result;
    std::thread thread;

    void finish(Result<Completion> outcome) {
        std::lock_guard lock(mutex);
        result = std::move(outcome);
        ended.notify_all();
        // Never read: readable from now on.
        detail::signalWake(endedEvent.get());
    }
    Result<Completion> run();
    // One start of the helper on the command file `xml`, to its end.
    Result<Completion> runHelper(const std::string& xml);
    // Waits `pause`; false when the job was cancelled meanwhile.
    bool pauseFor(std::chrono::milliseconds pause) const;
    // A cancelled end, with the last progress figure (for a print).
    Completion cancelledCompletion() const {
        Completion completion;
        completion.cancelled = true;
        completion.progress = lastProgress.load();
        return completion;
    }
    void followProgress();
};

namespace {

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "cancel() must be usable from a signal handler");

std::unique_ptr<Job::State> prepare(const Helper& helper, Job::State::Kind kind, std::string command) {
    auto state = std::make_unique<Job::State>();
    state->helperProgram = helper.program;
    state->kind = kind;
    state->command = std::move(command);
    // A listing takes no turn.
    if (kind != Job::State::Kind::list) state->turnFolders = detail::turnFolders();
    state->queryWait = helper.queryWait;
    state->printWait = helper.printWait;
    state->heldRetry = helper.heldRetry;
    // The helper traces each run into the private directory, where its
    // reason for a failure is read; a trace the caller asked for
    // (ZELVIK_TRACE) gets a copy.
    constexpr std::string_view kTrace = "ZELVIK_TRACE=";
    for (const std::string& entry : helper.environment) {
        if (entry.rfind(kTrace, 0) == 0) {
            state->callerTrace = entry.substr(kTrace.size());
        } else {
            state->helperEnvironment.push_back(entry);
        }
    }
    if (state->callerTrace.empty()) {
        if (const char* trace = ::getenv("ZELVIK_TRACE")) state->callerTrace = trace;
    }
    if (state->dir.made()) {
        state->commandPath = state->dir.file("command.xml");
        state->statusPath = state->dir.file("status.xml");
        state->resultPath = state->dir.file(kind == Job::State::Kind::list ? "printers.xml" : "result");
        state->cancelStatusPath = state->dir.file("cancel-status.xml");
        state->queryPath = state->dir.file("query.pjl");
        state->tracePath = state->dir.file("trace");
        state->helperEnvironment.insert(state->helperEnvironment.begin(), std::string(kTrace) + state->tracePath);
    }
    return state;
}

std::string absolutePath(const std::string& path) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.string();
}

Result<std::vector<Printer>> printerList(const std::string& xml) {
    const KxXmlDataConverter converter;
    const std::optional<Dictionary> document = converter.copyXMLDataToDictionaryNS(Bytes(xml.begin(), xml.end()));
    const Value* body = document ? document->find("printerListBody") : nullptr;
    if (body == nullptr) return Error(ErrorKind::resultMalformed, 0, "no printer list");
    std::vector<Printer> printers;
    // An empty list is an empty element, one printer a dictionary, more an
    // array of them.
    if (body->isString()) return printers;
    const Dictionary* list = body->asDictionary();
    const Value* entries = list != nullptr ? list->find("deviceInformation") : nullptr;
    if (entries == nullptr) return Error(ErrorKind::resultMalformed, 0, "no printer list");
    auto add = [&printers](const Value& entry) {
        const Dictionary* info = entry.asDictionary();
        if (info == nullptr) return false;
        const std::string* model = info->findString("modelName");
        const std::string* serial = info->findString("serialNumber");
        const std::string* uri = info->findString("deviceURI");
        if (model == nullptr || serial == nullptr || uri == nullptr) return false;
        printers.push_back(Printer{*model, *serial, *uri});
        return true;
    };
    if (const Array* array = entries->asArray()) {
        for (const Value& entry : *array) {
            if (!add(entry)) return Error(ErrorKind::resultMalformed, 0, "a printer entry");
        }
    } else if (!add(*entries)) {
        return Error(ErrorKind::resultMalformed, 0, "a printer entry");
    }
    return printers;
}

}  // namespace

void Job::State::followProgress() {
    if (kind != Kind::print) return;
    const std::optional<int> figure = progressFigure(resultPath);
    if (!figure || *figure <= lastProgress.load()) return;
    lastProgress.store(*figure);
    if (onProgress) onProgress(*figure);
}

Result<Completion> Job::State::run() {
    if (std::optional<std::string> refusal = detail::busFileRefusal(helperEnvironment)) {
        return Error(ErrorKind::badRequest, 0, *refusal);
    }
    // What the helper would refuse ("unknown command or missing parameter")
    // is refused here, in words, for every way a command is started.
    if (kind == Kind::pjl && pjlBytes.size() > kLongestPJLRequest) {
        return Error(ErrorKind::badRequest, 0, "a PJL request is at most 2047 bytes");
    }
    if (kind == Kind::pjl && timeLimit < 1) {
        return Error(ErrorKind::badRequest, 0,
                     "a PJL time limit of " + std::to_string(timeLimit) + " s: give 1 s or more");
    }
    if (kind == Kind::list && maximum == 0) {
        return Error(ErrorKind::badRequest, 0, "a listing maximum of 0: give 1 or more, or none for all printers");
    }
    if (!dir.made() || wake.get() < 0 || endedEvent.get() < 0) {
        return Error(ErrorKind::setupFailed, 0, errorText(errno));
    }
    if (kind == Kind::pjl && !writeFileWhole(queryPath, pjlBytes)) {
        return Error(ErrorKind::setupFailed, 0, "cannot write the PJL request");
    }
    if (kind == Kind::print) {
        // A path that XML cannot carry (not UTF-8, or a control character)
        // reaches the helper through a link of the private directory.
        std::string path = absolutePath(printFile);
        if (!KxXmlDataConverter::isWritableText(path)) {
            const std::string link = dir.file("print-file");
            if (::symlink(path.c_str(), link.c_str()) != 0) {
                return Error(ErrorKind::setupFailed, 0, "cannot link the file to send: " + errorText(errno));
            }
            path = link;
        }
        parameters.emplace_back("outputFilePath", path);
    }
    for (const auto& [name, value] : parameters) {
        if (!KxXmlDataConverter::isWritableText(value)) {
            return Error(ErrorKind::badRequest, 0,
                         describeParameter(name) +
                             " cannot be written as XML text (a control character, or bytes that are not UTF-8)");
        }
    }
    const std::optional<std::string> xml = commandXml(command, statusPath, parameters);
    if (!xml) {
        return Error(ErrorKind::badRequest, 0, describeParameter("statusFilePath") + " cannot be written as XML text");
    }

    // The printer's turn, held to the helper's end (over every start of a
    // print): a query or an active test waits a little, a print as long as
    // its caller lets it.
    detail::PrinterTurn turn;
    if (kind != Kind::list) {
        const auto wait = kind == Kind::print ? printWait : std::optional<std::chrono::milliseconds>(queryWait);
        switch (turn.take(turnFolders, deviceURI, wait, wake.get(), cancelRequested)) {
            case detail::PrinterTurn::Outcome::taken:
            case detail::PrinterTurn::Outcome::untaken: break;
            case detail::PrinterTurn::Outcome::timedOut: return Error(ErrorKind::busy, 0, {}, Reason::busy);
            case detail::PrinterTurn::Outcome::cancelled: return cancelledCompletion();
        }
    }

    // A print whose printer another program held (its query, another
    // user's active test, a listing that opened it) is started again for a
    // while. Only then: a printer that was never reached got no byte, so
    // nothing is sent twice.
    const auto retryEnd = std::chrono::steady_clock::now() + heldRetry;
    for (auto pause = kFirstHeldPause;; pause = std::min(pause * 2, kLastHeldPause)) {
        Result<Completion> outcome = runHelper(*xml);
        const bool heldBeforeSending = kind == Kind::print && !outcome &&
                                       outcome.error().kind() == ErrorKind::helperReported &&
                                       outcome.error().reason() == Reason::printerHeld && !exists(resultPath);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(retryEnd - std::chrono::steady_clock::now());
        if (!heldBeforeSending || left.count() <= 0) return outcome;
        // The last start comes when the while is over.
        if (!pauseFor(std::min(pause, left))) return cancelledCompletion();
    }
}

bool Job::State::pauseFor(std::chrono::milliseconds pause) const {
    const auto end = std::chrono::steady_clock::now() + pause;
    for (;;) {
        if (cancelRequested.load()) return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        pollfd woken{wake.get(), POLLIN, 0};
        if (::poll(&woken, 1, static_cast<int>(left.count())) > 0) {
            detail::drainWake(wake.get());
        }
    }
}

Result<Completion> Job::State::runHelper(const std::string& xml) {
    // What an earlier start left.
    for (const std::string* path : {&statusPath, &resultPath, &cancelStatusPath, &tracePath}) ::unlink(path->c_str());
    if (!writeFileWhole(commandPath, xml)) return Error(ErrorKind::setupFailed, 0, errorText(errno));

    // Watched before the start, so that no change goes unseen.
    UniqueFD watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (watch.get() < 0 ||
        ::inotify_add_watch(watch.get(), dir.path().c_str(),
                            IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM) < 0) {
        return Error(ErrorKind::setupFailed, 0, std::string("inotify: ") + errorText(errno));
    }

    // A job cancelled before the helper starts ends without it.
    if (cancelRequested.load()) return cancelledCompletion();
    detail::ChildProcess child;
    if (const int error = child.start(helperProgram, commandPath, helperEnvironment); error != 0) {
        return Error(ErrorKind::startFailed, 0, helperProgram + ": " + errorText(error));
    }

    bool cancelSent = false;
    bool stopSent = false;
    for (;;) {
        pollfd fds[3] = {{watch.get(), POLLIN, 0}, {child.exitFd(), POLLIN, 0}, {wake.get(), POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            ::kill(child.pid(), SIGKILL);
            child.reap();
            return Error(ErrorKind::setupFailed, 0, std::string("poll: ") + errorText(errno));
        }
        if (fds[0].revents != 0) {
            alignas(inotify_event) char events[4096];
            while (::read(watch.get(), events, sizeof events) > 0) {
            }
        }
        if (fds[2].revents != 0) {
            detail::drainWake(wake.get());
        }
        followProgress();
        if (callerTrace.empty()) detail::trimTrace(tracePath, kLongestTrace);
        // A listing and an active test have no cancel point: the helper is
        // ended, and closes the printer first (our own child, not yet
        // reaped: the pid is still its own).
        if (cancelRequested.load() && !stopSent && (kind == Kind::list || kind == Kind::active)) {
            ::kill(child.pid(), SIGTERM);
            stopSent = true;
        }
        // The cancel file may replace the command file only once the helper
        // has taken its command: before that it would be the command.
        if (cancelRequested.load() && !cancelSent && !stopSent && !exists(commandPath)) {
            const std::optional<std::string> cancel = commandXml("processCancel", cancelStatusPath, {});
            if (cancel && writeFileWhole(commandPath, *cancel)) {
                cancelSent = true;
                // Our own child, not yet reaped: the pid is still its own.
                ::kill(child.pid(), SIGUSR1);
            }
        }
        if (fds[1].revents != 0) break;
    }
    const int waitStatus = child.reap();
    followProgress();
    const std::optional<std::string> traced = detail::tracedReason(tracePath);
    if (!callerTrace.empty()) detail::copyTrace(tracePath, callerTrace);

    // The helper ended. A cancel file it never took is removed with the
    // directory; a cancel counts only when it was taken.
    const bool commandLeft = exists(commandPath);
    const bool cancelTaken = cancelSent && !commandLeft;
    const std::optional<int> code = statusCode(statusPath);
    if (!code && stopSent) return cancelledCompletion();
    if (!code) {
        if (!cancelSent && commandLeft) {
            return Error(ErrorKind::noStatus, 0, "it refused the command file (" + describeStatus(waitStatus) + ")");
        }
        return Error(ErrorKind::noStatus, 0, describeStatus(waitStatus));
    }
    if (*code != 0) return Error::reported(*code, detail::reasonOf(*code, traced));

    Completion completion;
    completion.progress = lastProgress.load();
    switch (kind) {
        case Kind::print:
            // A cancel that came when the last byte was already sent leaves
            // a complete job.
            completion.cancelled = cancelTaken && completion.progress < 100;
            if (!cancelTaken && completion.progress < 0) {
                return Error(ErrorKind::resultMissing, 0, "no progress file");
            }
            break;
        case Kind::pjl: {
            std::optional<std::string> answer = readFile(resultPath);
            if (!answer) {
                if (cancelTaken) {
                    completion.cancelled = true;
                    break;
                }
                return Error(ErrorKind::resultMissing, 0, "no answer file");
            }
            completion.answer = std::move(*answer);
            break;
        }
        case Kind::list: {
            const std::optional<std::string> answer = readFile(resultPath);
            if (!answer) return Error(ErrorKind::resultMissing, 0, "no printer list");
            Result<std::vector<Printer>> printers = printerList(*answer);
            if (!printers) return printers.error();
            completion.printers = std::move(printers).value();
            break;
        }
        case Kind::active: {
            const std::optional<std::string> answer = readFile(resultPath);
            if (!answer) return Error(ErrorKind::resultMissing, 0, "no result file");
            if (*answer != "True" && *answer != "False") {
                return Error(ErrorKind::resultMalformed, 0, "neither True nor False");
            }
            completion.active = *answer == "True";
            // Why not: a printer that cannot be opened is a printer failure.
            if (!completion.active) completion.reason = detail::reasonOf(7, traced);
            break;
        }
    }
    return completion;
}

Job::Job(std::unique_ptr<State> state) : mState(std::move(state)) {
    State* running = mState.get();
    running->thread = std::thread([running] {
        // Signals are the front end's business: they go to its own threads.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        running->finish(running->run());
    });
}
Job::Job(Job&&) noexcept = default;
Job& Job::operator=(Job&& other) noexcept {
    if (this != &other) {
        Job gone(std::move(*this));
        mState = std::move(other.mState);
    }
    return *this;
}
Job::~Job() {
    if (!mState) return;
    cancel();
    if (mState->thread.joinable()) mState->thread.join();
}

void Job::cancel() noexcept {
    if (!mState) return;
    mState->cancelRequested.store(true);
    // Async-signal-safe: an atomic store and a write.
    detail::signalWake(mState->wake.get());
}

const Result<Completion>& Job::wait() {
    std::unique_lock lock(mState->mutex);
    mState->ended.wait(lock, [this] { return mState->result.has_value(); });
    return *mState->result;
}

const Result<Completion>* Job::waitFor(std::chrono::milliseconds limit) {
    std::unique_lock lock(mState->mutex);
    if (!mState->ended.wait_for(lock, limit, [this] { return mState->result.has_value(); })) return nullptr;
    return &*mState->result;
}

int Job::endedFd() const noexcept { return mState ? mState->endedEvent.get() : -1; }

int Job::progress() const noexcept { return mState ? mState->lastProgress.load() : -1; }

Job Job::print(const Helper& helper, const std::string& deviceURI, const std::string& file,
               ProgressHandler onProgress) {
    auto state = prepare(helper, State::Kind::print, "dataOutput");
    state->printFile = file;
    state->deviceURI = deviceURI;
    state->parameters = {{"deviceURI", deviceURI}, {"responseFilePath", state->resultPath}};
    state->onProgress = std::move(onProgress);
    return Job(std::move(state));
}

Job Job::pjl(const Helper& helper, const std::string& deviceURI, std::string_view bytes,
             std::chrono::seconds timeLimit) {
    auto state = prepare(helper, State::Kind::pjl, "sendPJLCommand");
    state->pjlBytes = std::string(bytes);
    state->deviceURI = deviceURI;
    state->timeLimit = static_cast<long long>(timeLimit.count());
    state->parameters = {{"deviceURI", deviceURI},
                         {"outputFilePath", state->queryPath},
                         {"responseFilePath", state->resultPath},
                         {"timeOut", std::to_string(timeLimit.count())}};
    return Job(std::move(state));
}

Job Job::list(const Helper& helper, std::optional<int> maximum) {
    auto state = prepare(helper, State::Kind::list, "getPrinterList");
    state->maximum = maximum;
    state->parameters = {{"printerListFilePath", state->resultPath},
                         {"printerListMax", std::to_string(maximum ? *maximum : -1)}};
    return Job(std::move(state));
}

Job Job::active(const Helper& helper, const std::string& deviceURI) {
    auto state = prepare(helper, State::Kind::active, "isMachineActive");
    state->deviceURI = deviceURI;
    state->parameters = {{"deviceURI", deviceURI}, {"responseFilePath", state->resultPath}};
    return Job(std::move(state));
}

Result<std::string> sendPJL(const Helper& helper, const std::string& deviceURI, std::string_view bytes,
                            std::chrono::seconds timeLimit) {
    Job job = Job::pjl(helper, deviceURI, bytes, timeLimit);
    const Result<Completion>& done = job.wait();
    if (!done) return done.error();
    return done->answer;
}

Result<Completion> printFile(const Helper& helper, const std::string& deviceURI, const std::string& file,
                             Job::ProgressHandler onProgress) {
    Job job = Job::print(helper, deviceURI, file, std::move(onProgress));
    return job.wait();
}

Result<std::vector<Printer>> listPrinters(const Helper& helper, std::optional<int> maximum) {
    Job job = Job::list(helper, maximum);
    const Result<Completion>& done = job.wait();
    if (!done) return done.error();
    return done->printers;
}

Result<bool> isMachineActive(const Helper& helper, const std::string& deviceURI) {
    Job job = Job::active(helper, deviceURI);
    const Result<Completion>& done = job.wait();
    if (!done) return done.error();
    return done->active;
}

std::string pjlRequest(const std::vector<std::string>& commands) {
    static const std::string kUniversalExit = "\x1b%-12345X";
    std::string request = kUniversalExit;
    for (const std::string& command : commands) {
        if (command.rfind("@PJL", 0) != 0) request += "@PJL ";
        request += command;
        request += "\r\n";
    }
    return request + kUniversalExit;
}

}  // namespace zelvik::client
