// SPDX-License-Identifier: Apache-2.0
// zelvikctl: the printers of the helper from a shell. Lists them, asks them
// PJL questions, sends print files with a progress bar, tells whether one
// can be opened; everything through the client library.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Doctor.h"
#include "Text.h"
#include "zelvik/client.h"

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
    kCancelled = 130,       // Ctrl-C
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
                               "  130  cancelled by Ctrl-C\n";

struct Options {
    std::string helperPath;
    std::string busFile;
    bool json = false;
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
// ignored, so that the helper can close the printer.
std::atomic<Job*> gJob{nullptr};
volatile sig_atomic_t gInterrupted = 0;

void onInterrupt(int) {
    if (gInterrupted) return;
    gInterrupted = 1;
    if (Job* job = gJob.load()) job->cancel();
}

void catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Runs `job` to its end with Ctrl-C routed to it.
Result<Completion> follow(Job& job) {
    gJob.store(&job);
    if (gInterrupted) job.cancel();
    Result<Completion> result = job.wait();
    // The handler runs only on this thread (the library's threads block
    // signals), so with SIGINT blocked here it cannot be inside cancel().
    sigset_t interrupts, previous;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &interrupts, &previous);
    gJob.store(nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return result;
}

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
    }
    return kHelperFailed;
}

std::string hintFor(const Error& error, const std::string& subject) {
    const std::string on = subject.empty() ? std::string() : ": " + subject;
    if (error.kind() == ErrorKind::helperReported) {
        switch (error.code()) {
            case 7: return error.message() + on + "; see 'zelvikctl list'";
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

int fail(const Options& options, const Error& error, const std::string& subject) {
    std::cerr << "zelvikctl: " << hintFor(error, subject) << '\n';
    if (options.json) {
        Json document = {{"error", {{"message", error.message()}, {"helperCode", error.code()}}}};
        std::cout << document.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
    }
    return exitFor(error);
}

void print(const Json& document) { std::cout << document.dump(2, ' ', false, Json::error_handler_t::replace) << '\n'; }

// ---- The commands.
int listCommand(const Options& options, std::optional<int> maximum) {
    const auto printers = listPrinters(helperFor(options), maximum);
    if (!printers) return fail(options, printers.error(), {});
    if (options.json) {
        Json list = Json::array();
        for (const auto& p : *printers) {
            list.push_back({{"modelName", p.modelName}, {"serialNumber", p.serialNumber}, {"deviceURI", p.deviceURI}});
        }
        print({{"printers", list}});
    } else if (printers->empty()) {
        std::cout << "no printers found\n";
    } else {
        std::vector<std::vector<std::string>> rows{{"MODEL", "SERIAL", "URI"}};
        for (const auto& p : *printers) rows.push_back({p.modelName, p.serialNumber, p.deviceURI});
        std::cout << zelvikctl::table(rows);
    }
    return kOk;
}

Result<std::string> query(const Options& options, const std::string& uri, const std::string& bytes, int timeout) {
    Job job = Job::pjl(helperFor(options), uri, bytes, std::chrono::seconds(timeout));
    const Result<Completion> done = follow(job);
    if (!done) return done.error();
    if (done->cancelled) return Error(ErrorKind::badRequest, 0, "cancelled");
    return done->answer;
}

int cancelledExit(const Options& options, int progress) {
    if (progress >= 0) {
        std::cerr << "cancelled at " << progress << "%\n";
    } else {
        std::cerr << "cancelled\n";
    }
    if (options.json) print({{"cancelled", true}, {"progress", progress}});
    return kCancelled;
}

int pjlCommand(const Options& options, const std::string& uri, const std::vector<std::string>& commands,
               const std::string& file, int timeout, bool raw) {
    std::string bytes;
    if (!file.empty()) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::cerr << "zelvikctl: cannot read " << file << '\n';
            return kFileUnusable;
        }
        std::ostringstream content;
        content << in.rdbuf();
        bytes = content.str();
    }
    if (!commands.empty()) bytes += pjlRequest(commands);
    if (bytes.empty()) {
        std::cerr << "zelvikctl: nothing to send: give PJL commands or --file\n";
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
    using Reader = void (*)(std::string_view, zelvikctl::PrinterInfo&);
    const std::pair<const char*, Reader> questions[] = {{"INFO ID", zelvikctl::readIdAnswer},
                                                        {"INFO STATUS", zelvikctl::readStatusAnswer},
                                                        {"INFO PAGECOUNT", zelvikctl::readPageCountAnswer}};
    int unanswered = 0;
    std::optional<Error> lastError;
    for (const auto& [question, reader] : questions) {
        const auto answer = query(options, uri, pjlRequest({question}), timeout);
        if (gInterrupted) return cancelledExit(options, -1);
        if (answer) {
            reader(*answer, info);
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

    Job job = Job::print(helperFor(options), uri, file, [&](int percent) {
        if (options.json) return;
        std::lock_guard lock(drawing);
        if (live) {
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
    if (options.json) print({{"deviceURI", uri}, {"file", file}, {"cancelled", false}, {"progress", done->progress}});
    else if (!live) std::cout << "sent " << file << " to " << uri << '\n';
    return kOk;
}

int doctorCommand(const Options& options) {
    zelvikctl::DoctorRoots roots;
    roots.canOpen = [](const std::string& node) { return ::access(node.c_str(), R_OK | W_OK) == 0; };
    const zelvikctl::DoctorReport report = zelvikctl::examine(ZELVIKCTL_VENDOR_ID, roots);
    using Kind = zelvikctl::Finding::Kind;
    auto kindName = [](Kind kind) { return kind == Kind::ok ? "ok" : kind == Kind::note ? "note" : "problem"; };
    if (options.json) {
        auto findings = [&](const std::vector<zelvikctl::Finding>& list) {
            Json out = Json::array();
            for (const auto& f : list) {
                Json one = {{"kind", kindName(f.kind)}, {"text", f.text}};
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
        auto show = [&](const std::string& where, const zelvikctl::Finding& f) {
            std::cout << where << kindName(f.kind) << ": " << f.text;
            if (!f.fix.empty()) std::cout << "; fix: " << f.fix;
            std::cout << '\n';
        };
        for (const auto& f : report.findings) show("", f);
        for (const auto& d : report.devices) {
            std::string where = "usb " + d.sysfsName + " (bus " + std::to_string(d.bus) + " device " +
                                std::to_string(d.device) + ", " + report.vendorID + ":" + d.productID +
                                (d.product.empty() ? "" : " " + d.product) + "): ";
            for (const auto& f : d.findings) show(where, f);
        }
    }
    return report.healthy() ? kOk : kInactive;
}

int activeCommand(const Options& options, const std::string& uri) {
    const auto active = isMachineActive(helperFor(options), uri);
    if (!active) return fail(options, active.error(), uri);
    if (options.json) {
        print({{"deviceURI", uri}, {"active", *active}});
    } else {
        std::cout << (*active ? "True" : "False") << '\n';
    }
    return *active ? kOk : kInactive;
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
    list->add_option("--max", maximum, "At most this many printers")->check(CLI::NonNegativeNumber);

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

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? kOk : kUsage;
    }

    catchInterrupts();
    if (*list) return listCommand(options, maximum < 0 ? std::nullopt : std::optional<int>(maximum));
    if (*pjl) return pjlCommand(options, uri, commands, file, timeout, raw);
    if (*info) return infoCommand(options, uri, timeout);
    if (*send) return sendCommand(options, uri, file);
    if (*active) return activeCommand(options, uri);
    if (*app.get_subcommand("doctor")) return doctorCommand(options);
    return kUsage;
}
