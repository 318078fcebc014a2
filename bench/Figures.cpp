// SPDX-License-Identifier: Apache-2.0
// The performance figures of the built programs, measured side by side in
// one run and printed as ratios. Run through bench/run.sh.
//   zelvik_figures [--full] ZELVIK ZELVIK_SIM CANCEL_BASELINE ZELVIKCTL
// --full sends the whole 1 GiB file for its peak memory (about 10 minutes);
// without it that transfer is cancelled after 5 s.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point begin) { return std::chrono::duration<double>(Clock::now() - begin).count(); }

struct Usage {
    double wall = 0;
    double cpu = 0;  // user + system of the process and what it waited for
    long peakRssKiB = 0;
    int status = -1;
};

std::string gFolder;
std::string path(const std::string& name) { return gFolder + "/" + name; }

void writeFile(const std::string& file, const std::string& text) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}
std::string readFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
bool exists(const std::string& file) { return ::access(file.c_str(), F_OK) == 0; }

pid_t spawn(const std::vector<std::string>& args, const std::string& busFile, bool quiet = true) {
    std::vector<std::string> env;
    if (!busFile.empty()) env.push_back("ZELVIK_SIMULATED_BUS=" + busFile);
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> envp, argv;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

Usage reap(pid_t pid, Clock::time_point begin) {
    Usage u;
    rusage r{};
    if (::wait4(pid, &u.status, 0, &r) != pid) return u;
    u.wall = secondsSince(begin);
    u.cpu = static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
            static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    u.peakRssKiB = r.ru_maxrss;
    return u;
}

Usage run(const std::vector<std::string>& args, const std::string& busFile = "") {
    const auto begin = Clock::now();
    const pid_t pid = spawn(args, busFile);
    if (pid < 0) return {};
    return reap(pid, begin);
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}
double worst(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

std::string command(const std::vector<std::pair<std::string, std::string>>& elements) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<commandBody>";
    for (const auto& [name, value] : elements) xml += "<" + name + ">" + value + "</" + name + ">";
    return xml + "</commandBody>\n";
}

std::string printerElement(const std::string& model, const std::string& serial, const std::string& extra = "") {
    return "<device><deviceID>MFG:Zelvik;MDL:" + model + ";</deviceID><serialNumber>" + serial + "</serialNumber>" +
           extra + "</device>";
}
std::string bus(const std::string& devices) { return "<simulatedBus>" + devices + "</simulatedBus>"; }

void sparseFile(const std::string& file, off_t size) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        if (::ftruncate(fd, size) != 0) std::perror("ftruncate");
        ::close(fd);
    }
}

// Waits until a file of that name is created (or renamed) in the folder.
class FolderWatch {
public:
    FolderWatch() : mFd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        ::inotify_add_watch(mFd, gFolder.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE);
    }
    ~FolderWatch() { ::close(mFd); }
    // mask: IN_CREATE|IN_MOVED_TO to wait for the file, IN_DELETE for its removal.
    bool waitFor(const std::string& name, std::uint32_t mask, int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            alignas(inotify_event) char events[4096];
            for (ssize_t n; (n = ::read(mFd, events, sizeof events)) > 0;) {
                for (char* p = events; p < events + n;) {
                    auto* e = reinterpret_cast<inotify_event*>(p);
                    if ((e->mask & mask) && e->len && name == e->name) return true;
                    p += sizeof(inotify_event) + e->len;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd fd{mFd, POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(left));
        }
    }

private:
    int mFd;
};

std::string gZelvik, gSim, gBaseline, gCtl;

void heading(const char* text) { std::printf("\n== %s\n", text); }

// --- start to exit of each command --------------------------------------------------

// One command run from start to exit, its files made afresh before each run.
struct Launch {
    const char* label;
    std::vector<std::string> args;
    std::string busFile;
    std::string commandFile;  // the command file's content; empty: none
    std::vector<double> times;
};

void startToExit() {
    heading("start to exit of each command (median of 100 each, interleaved with the C program)");
    writeFile(path("empty-bus.xml"), bus(""));
    writeFile(path("one-bus.xml"), bus(printerElement("Fast", "F")));
    writeFile(path("answer-bus.xml"), bus(printerElement("Fast", "F", "<answer>@PJL ANSWER\r\n</answer>")));
    writeFile(path("short-query.pjl"), "@PJL INFO ID\r\n");
    sparseFile(path("4KiB.bin"), 4096);
    const std::string status = path("status.xml");
    const std::string uri = "usb://Zelvik/Fast?serial=F";
    const std::string cancel = command({{"command", "processCancel"}, {"statusFilePath", status}});
    const std::string list = command({{"command", "getPrinterList"},
                                      {"statusFilePath", status},
                                      {"printerListFilePath", path("printers.xml")},
                                      {"printerListMax", "-1"}});
    const std::string active = command({{"command", "isMachineActive"},
                                        {"statusFilePath", status},
                                        {"deviceURI", uri},
                                        {"responseFilePath", path("response.txt")}});
    const std::string query = command({{"command", "sendPJLCommand"},
                                       {"statusFilePath", status},
                                       {"deviceURI", uri},
                                       {"outputFilePath", path("short-query.pjl")},
                                       {"responseFilePath", path("answer.bin")},
                                       {"timeOut", "5"}});
    const std::string job = command({{"command", "dataOutput"},
                                     {"statusFilePath", status},
                                     {"deviceURI", uri},
                                     {"outputFilePath", path("4KiB.bin")},
                                     {"responseFilePath", path("progress.txt")}});
    const std::string commandFile = path("command.xml");
    std::vector<Launch> launches = {
        {"C program (read, delete, status with fsync)", {gBaseline, commandFile, status}, "", cancel, {}},
        {"zelvik processCancel", {gZelvik, commandFile}, "", cancel, {}},
        {"zelvik getPrinterList (this machine's bus)", {gZelvik, commandFile}, "", list, {}},
        {"zelvik-sim processCancel", {gSim, commandFile}, path("empty-bus.xml"), cancel, {}},
        {"zelvik-sim getPrinterList (1 printer)", {gSim, commandFile}, path("one-bus.xml"), list, {}},
        {"zelvik-sim isMachineActive", {gSim, commandFile}, path("one-bus.xml"), active, {}},
        {"zelvik-sim sendPJLCommand (answered)", {gSim, commandFile}, path("answer-bus.xml"), query, {}},
        {"zelvik-sim dataOutput (4 KiB)", {gSim, commandFile}, path("one-bus.xml"), job, {}},
    };
    int lost = 0;
    for (int i = 0; i < 100; ++i) {
        for (Launch& launch : launches) {
            std::remove(status.c_str());
            writeFile(commandFile, launch.commandFile);
            const Usage u = run(launch.args, launch.busFile);
            if (!exists(status)) ++lost;
            launch.times.push_back(u.wall);
        }
    }
    const double yardstick = median(launches.front().times);
    for (const Launch& launch : launches) {
        std::printf("  %-46s %6.2f ms   ratio %5.2f\n", launch.label, median(launch.times) * 1e3,
                    median(launch.times) / yardstick);
    }
    if (lost) std::printf("  (%d runs left no status file)\n", lost);
    std::printf("  (the printer commands pause 1 ms before each transfer: a query makes three, a 4 KiB job three)\n");
}

// --- dataOutput per chunk --------------------------------------------------------

double meanSleep(int rounds) {
    const timespec oneMs{0, 1000000};
    const auto begin = Clock::now();
    for (int i = 0; i < rounds; ++i) ::clock_nanosleep(CLOCK_MONOTONIC, 0, &oneMs, nullptr);
    return secondsSince(begin) / rounds;
}

void chunkTime() {
    heading("dataOutput, time per 2048-byte chunk (virtual printer without a throughput limit)");
    writeFile(path("fast-bus.xml"), bus(printerElement("Fast", "F")));
    sparseFile(path("empty.bin"), 0);
    constexpr int kChunks = 2048;  // 4 MiB
    sparseFile(path("chunks.bin"), static_cast<off_t>(kChunks) * 2048);
    auto transfer = [](const std::string& file) {
        std::remove(path("status.xml").c_str());
        writeFile(path("command.xml"), command({{"command", "dataOutput"},
                                                {"statusFilePath", path("status.xml")},
                                                {"deviceURI", "usb://Zelvik/Fast?serial=F"},
                                                {"outputFilePath", file},
                                                {"responseFilePath", path("progress.txt")}}));
        Usage u = run({gSim, path("command.xml")}, path("fast-bus.xml"));
        if (readFile(path("progress.txt")) != "100") std::printf("  (a transfer did not complete)\n");
        return u.wall;
    };
    // The bare sleeps are taken between the transfers, so that both see the
    // machine in the same state.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::vector<double> perChunk, minimalSlack, defaultSlack;
    for (int round = 0; round < 5; ++round) {
        const double empty = transfer(path("empty.bin"));
        const double full = transfer(path("chunks.bin"));
        // Both end with one zero-length write; the difference is kChunks chunks.
        perChunk.push_back((full - empty) / kChunks);
        minimalSlack.push_back(meanSleep(500));
        ::prctl(PR_SET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);  // back to the default
        defaultSlack.push_back(meanSleep(500));
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    const double chunk = median(perChunk), sleep = median(minimalSlack), sleepDefault = median(defaultSlack);
    std::printf("  per chunk: %.1f us (median of 5 transfers of 4 MiB, less a transfer of 0 bytes)\n", chunk * 1e6);
    std::printf("  bare 1 ms sleep, smallest timer slack: %.1f us; default slack: %.1f us\n", sleep * 1e6,
                sleepDefault * 1e6);
    std::printf("  chunk / 1 ms:                          %.3f\n", chunk / 1e-3);
    std::printf("  chunk / bare sleep, smallest slack:    %.3f   (target <= 1.02)\n", chunk / sleep);
}

// --- peak memory --------------------------------------------------------------

// Starts a command and, once its command file is taken, returns its pid.
pid_t startCommand(const std::string& cmd, const std::string& busFile, Clock::time_point* begin) {
    FolderWatch watch;
    writeFile(path("command.xml"), cmd);
    *begin = Clock::now();
    const pid_t pid = spawn({gSim, path("command.xml")}, busFile);
    if (!watch.waitFor("command.xml", IN_DELETE, 5000)) std::printf("  (the command file was not taken)\n");
    return pid;
}

void writeCancel() {
    writeFile(path("command.xml"),
              command({{"command", "processCancel"}, {"statusFilePath", path("cancel-status.xml")}}));
    std::remove(path("cancel-status.xml").c_str());
}

std::string dataOutputCommand(const std::string& file) {
    return command({{"command", "dataOutput"},
                    {"statusFilePath", path("status.xml")},
                    {"deviceURI", "usb://Zelvik/Fast?serial=F"},
                    {"outputFilePath", file},
                    {"responseFilePath", path("progress.txt")}});
}

void peakMemory(bool full) {
    heading("dataOutput, peak resident memory of the process");
    sparseFile(path("1MiB.bin"), 1L << 20);
    sparseFile(path("1GiB.bin"), 1L << 30);
    std::remove(path("status.xml").c_str());
    writeFile(path("command.xml"), dataOutputCommand(path("1MiB.bin")));
    const Usage small = run({gSim, path("command.xml")}, path("fast-bus.xml"));
    Usage large;
    std::remove(path("status.xml").c_str());
    if (full) {
        writeFile(path("command.xml"), dataOutputCommand(path("1GiB.bin")));
        large = run({gSim, path("command.xml")}, path("fast-bus.xml"));
    } else {
        Clock::time_point begin;
        const pid_t pid = startCommand(dataOutputCommand(path("1GiB.bin")), path("fast-bus.xml"), &begin);
        std::this_thread::sleep_for(std::chrono::seconds(5));
        writeCancel();
        ::kill(pid, SIGUSR1);
        large = reap(pid, begin);
    }
    std::printf("  1 MiB file (whole transfer, %.2f s): %ld KiB\n", small.wall, small.peakRssKiB);
    std::printf("  1 GiB sparse file (%s, %.1f s): %ld KiB\n",
                full ? "whole transfer" : "first 5 s of the transfer, then cancelled; --full for all of it", large.wall,
                large.peakRssKiB);
    std::printf("  ratio 1 GiB / 1 MiB: %.3f\n",
                static_cast<double>(large.peakRssKiB) / static_cast<double>(std::max(1L, small.peakRssKiB)));
}

// --- a silent query's processor time ------------------------------------------------

void silentQuery() {
    heading("sendPJLCommand waiting out a 10 s limit on a printer that never answers");
    writeFile(path("quiet-bus.xml"), bus(printerElement("Quiet", "Q")));
    writeFile(path("query.pjl"), "nothing to answer");
    std::remove(path("status.xml").c_str());
    writeFile(path("command.xml"), command({{"command", "sendPJLCommand"},
                                            {"statusFilePath", path("status.xml")},
                                            {"deviceURI", "usb://Zelvik/Quiet?serial=Q"},
                                            {"outputFilePath", path("query.pjl")},
                                            {"responseFilePath", path("answer.bin")},
                                            {"timeOut", "10"}}));
    const Usage u = run({gSim, path("command.xml")}, path("quiet-bus.xml"));
    std::printf("  CPU share of one core: %.3f %% (%.1f ms of CPU over %.2f s)\n", 100.0 * u.cpu / u.wall, u.cpu * 1e3,
                u.wall);
}

// --- cancel latency --------------------------------------------------------------

void cancelLatency() {
    heading("cancel latency, from the reopen to the status file (50 each)");
    writeFile(path("slow-query.pjl"), "nothing to answer");
    const std::string pjl = command({{"command", "sendPJLCommand"},
                                     {"statusFilePath", path("status.xml")},
                                     {"deviceURI", "usb://Zelvik/Quiet?serial=Q"},
                                     {"outputFilePath", path("slow-query.pjl")},
                                     {"responseFilePath", path("answer.bin")},
                                     {"timeOut", "30"}});
    const std::string transfer = dataOutputCommand(path("1GiB.bin"));
    enum class Phase { intake, pjlWait, transfer };
    std::mt19937 random(7);
    std::uniform_int_distribution<int> offsetMs(20, 250);
    for (const Phase phase : {Phase::pjlWait, Phase::transfer, Phase::intake}) {
        for (const bool secondLaunch : {false, true}) {
            std::vector<double> latencies;
            int lost = 0;
            for (int i = 0; i < 50; ++i) {
                std::remove(path("status.xml").c_str());
                Clock::time_point begin;
                const bool query = phase != Phase::transfer;
                const std::string& busFile = query ? path("quiet-bus.xml") : path("fast-bus.xml");
                const pid_t pid = startCommand(query ? pjl : transfer, busFile, &begin);
                // A moment into the command, anywhere in a poll interval; or
                // at once once the command file is taken.
                if (phase != Phase::intake) std::this_thread::sleep_for(std::chrono::milliseconds(offsetMs(random)));
                writeCancel();
                FolderWatch watch;
                const auto reopen = Clock::now();
                pid_t second = -1;
                if (secondLaunch) {
                    second = spawn({gSim, path("command.xml")}, busFile);
                } else {
                    ::kill(pid, SIGUSR1);
                }
                if (watch.waitFor("status.xml", IN_CREATE | IN_MOVED_TO, 10000)) {
                    latencies.push_back(secondsSince(reopen));
                } else {
                    ++lost;
                    ::kill(pid, SIGKILL);
                }
                if (second > 0) reap(second, reopen);
                reap(pid, begin);
            }
            const char* name = phase == Phase::pjlWait    ? "PJL wait,"
                               : phase == Phase::transfer ? "transfer,"
                                                          : "at intake,";
            std::printf("  %-15s %-13s median %7.2f ms   worst %7.2f ms%s\n", name,
                        secondLaunch ? "second launch" : "signal", median(latencies) * 1e3, worst(latencies) * 1e3,
                        lost ? ("   (" + std::to_string(lost) + " without a status file)").c_str() : "");
        }
    }
    std::printf("  (a cancel ends the PJL wait's pause between reads at once; a transfer stops before its next\n"
                "  chunk; at intake the reopen follows the taking of the command file at once, so the cancel\n"
                "  meets the command before dispatch or at its first cancel point, after the printer is opened)\n");
}

// --- listing ---------------------------------------------------------------------

double listingTime(int printers) {
    std::string devices;
    for (int i = 0; i < printers; ++i) devices += printerElement("LP-" + std::to_string(i), "S" + std::to_string(i));
    const std::string busFile = path("list-bus-" + std::to_string(printers) + ".xml");
    writeFile(busFile, bus(devices));
    std::vector<double> times;
    for (int i = 0; i < 20; ++i) {
        std::remove(path("status.xml").c_str());
        writeFile(path("command.xml"), command({{"command", "getPrinterList"},
                                                {"statusFilePath", path("status.xml")},
                                                {"printerListFilePath", path("printers.xml")},
                                                {"printerListMax", "-1"}}));
        times.push_back(run({gSim, path("command.xml")}, busFile).wall);
    }
    return median(times);
}

void listing() {
    heading("getPrinterList, start to exit (median of 20), virtual printers");
    const double one = listingTime(1), many = listingTime(200);
    std::printf("  1 printer: %.2f ms   200 printers: %.2f ms   ratio %.2f   (%.1f us per further printer)\n",
                one * 1e3, many * 1e3, many / one, (many - one) / 199 * 1e6);
}

// --- zelvikctl send ------------------------------------------------------------

// Processor time of a finished child that was not reaped yet, in seconds:
// its own, and that of the children it waited for.
bool zombieTimes(pid_t pid, double* own, double* children) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> f;
    for (std::string s; fields >> s;) f.push_back(s);
    if (f.size() < 15) return false;
    // From the state (field 3) on: utime is field 14, cutime field 16.
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    *own = (std::stod(f[11]) + std::stod(f[12])) / tick;
    *children = (std::stod(f[13]) + std::stod(f[14])) / tick;
    return true;
}

void ctlSend() {
    heading("zelvikctl send following a slow transfer (1 MiB at 100 kB/s)");
    if (gCtl.empty() || ::access(gCtl.c_str(), X_OK) != 0) {
        std::printf("  skipped (zelvikctl not built)\n");
        return;
    }
    writeFile(path("slow-bus.xml"),
              bus(printerElement("Slow", "W", "<acceptBytesPerSecond>100000</acceptBytesPerSecond>")));
    const auto begin = Clock::now();
    const pid_t pid =
        spawn({gCtl, "--simulated", path("slow-bus.xml"), "send", "usb://Zelvik/Slow?serial=W", path("1MiB.bin")}, "");
    siginfo_t info{};
    double own = 0, children = 0;
    const bool ended = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0;
    const double wall = secondsSince(begin);
    const bool known = ended && zombieTimes(pid, &own, &children);
    const Usage u = reap(pid, begin);
    if (!known || !WIFEXITED(u.status) || WEXITSTATUS(u.status) != 0) {
        std::printf("  zelvikctl send failed (status %d)\n", u.status);
        return;
    }
    std::printf(
        "  zelvikctl itself: %.3f %% of a core (%.0f ms of CPU over %.2f s; the kernel counts in %.0f ms ticks)\n",
        100.0 * own / wall, own * 1e3, wall, 1e3 / static_cast<double>(::sysconf(_SC_CLK_TCK)));
    std::printf("  with the helper it ran: %.3f %% of a core (%.1f ms of CPU)\n", 100.0 * u.cpu / wall, u.cpu * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
    bool full = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--full") == 0) full = true;
        else args.emplace_back(argv[i]);
    }
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: zelvik_figures [--full] ZELVIK ZELVIK_SIM CANCEL_BASELINE ZELVIKCTL\n");
        return 2;
    }
    gZelvik = args[0];
    gSim = args[1];
    gBaseline = args[2];
    gCtl = args[3];
    char folder[] = "/tmp/zelvik-figures-XXXXXX";
    if (!::mkdtemp(folder)) {
        std::perror("mkdtemp");
        return 1;
    }
    gFolder = folder;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    startToExit();
    chunkTime();
    peakMemory(full);
    silentQuery();
    cancelLatency();
    listing();
    ctlSend();

    std::string remove = "rm -rf '" + gFolder + "'";
    return std::system(remove.c_str()) == 0 ? 0 : 1;
}
