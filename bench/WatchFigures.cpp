// SPDX-License-Identifier: Apache-2.0
// What a printer watch costs: helper launches and processor time while
// nothing changes, and the time from a change to its event.
//   zelvik_watch_figures ZELVIK ZELVIK_SIM ZELVIKCTL [IDLE_SECONDS]
// Three watches run side by side for IDLE_SECONDS (default 30): the client
// library's on a simulated bus file (inotify) and on udev (the zelvik
// program), in this process, and `zelvikctl --simulated BUS list --watch`.
// Each helper is started through a script that counts its launches.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zelvik/client.h"

extern char** environ;

namespace {

namespace zc = zelvik::client;
using Clock = std::chrono::steady_clock;

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
std::size_t lines(const std::string& file) {
    const std::string text = readFile(file);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::string busText(int printers) {
    std::string text = "<simulatedBus>";
    for (int i = 0; i < printers; ++i) {
        text += "<device><deviceID>MFG:Zelvik;MDL:LP-" + std::to_string(i) + ";</deviceID><serialNumber>S" +
                std::to_string(i) + "</serialNumber></device>";
    }
    return text + "</simulatedBus>";
}
void replaceBus(int printers) {
    writeFile(path("bus/bus.xml.new"), busText(printers));
    std::filesystem::rename(path("bus/bus.xml.new"), path("bus/bus.xml"));
}

// A script that counts its launches in `counter`, then runs `program`.
std::string countingHelper(const std::string& name, const std::string& program, const std::string& counter) {
    writeFile(path(name), "#!/bin/sh\necho >>'" + path(counter) + "'\nexec '" + program + "' \"$@\"\n");
    ::chmod(path(name).c_str(), 0700);
    return path(name);
}

double processSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Processor time of another process so far, in the kernel's ticks.
long ticksOf(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> f;
    for (std::string s; fields >> s;) f.push_back(s);
    if (f.size() < 13) return -1;
    return std::stol(f[11]) + std::stol(f[12]);  // utime, stime
}

// Events of one watch, with the time each came.
struct Log {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Clock::time_point> times;
    zc::PrinterWatch::Handler handler() {
        return [this](const zc::PrinterEvent&) {
            std::lock_guard lock(mutex);
            times.push_back(Clock::now());
            changed.notify_all();
        };
    }
    // The time of the `count`-th event, once it came.
    std::optional<Clock::time_point> waitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return times.size() >= count; })) {
            return std::nullopt;
        }
        return times[count - 1];
    }
    std::size_t size() {
        std::lock_guard lock(mutex);
        return times.size();
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: zelvik_watch_figures ZELVIK ZELVIK_SIM ZELVIKCTL [IDLE_SECONDS]\n");
        return 2;
    }
    const int idleSeconds = argc == 5 ? std::atoi(argv[4]) : 30;
    char folder[] = "/tmp/zelvik-watch-figures-XXXXXX";
    if (!::mkdtemp(folder)) {
        std::perror("mkdtemp");
        return 1;
    }
    gFolder = folder;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::filesystem::create_directory(path("bus"));
    replaceBus(3);

    std::printf("\n== printer watches while nothing changes (%d s, three side by side)\n", idleSeconds);
    Log simulated, udev;
    auto simWatch =
        zc::watchPrinters(zc::Helper::simulated(path("bus/bus.xml"), countingHelper("sim.sh", argv[2], "sim-launches")),
                          simulated.handler());
    auto udevWatch =
        zc::watchPrinters(zc::Helper{countingHelper("real.sh", argv[1], "real-launches"), {}}, udev.handler());
    if (!simWatch || !udevWatch) {
        std::printf("  a watch could not start: %s\n",
                    (!simWatch ? simWatch.error() : udevWatch.error()).message().c_str());
        return 1;
    }
    // zelvikctl, its output to a file.
    const std::string ctlHelper = countingHelper("ctl.sh", argv[2], "ctl-launches");
    std::vector<std::string> args{argv[3], "--simulated", path("bus/bus.xml"), "--helper", ctlHelper,
                                  "list",  "--watch"};
    std::vector<char*> argvCtl;
    for (auto& a : args) argvCtl.push_back(a.data());
    argvCtl.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, path("ctl.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t ctl = -1;
    if (posix_spawn(&ctl, argvCtl[0], &actions, nullptr, argvCtl.data(), environ) != 0) ctl = -1;
    posix_spawn_file_actions_destroy(&actions);

    // The first listings done, and settled.
    simulated.waitFor(3);
    const auto settled = Clock::now() + std::chrono::seconds(10);
    while ((lines(path("real-launches")) < 1 || lines(path("ctl.out")) < 3) && Clock::now() < settled) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const std::size_t launchesBefore =
        lines(path("sim-launches")) + lines(path("real-launches")) + lines(path("ctl-launches"));
    const double cpuBefore = processSeconds();
    const long ticksBefore = ctl > 0 ? ticksOf(ctl) : -1;
    const auto begin = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double wall = std::chrono::duration<double>(Clock::now() - begin).count();
    const double cpu = processSeconds() - cpuBefore;
    const long ticks = ctl > 0 ? ticksOf(ctl) - ticksBefore : -1;
    const std::size_t launches =
        lines(path("sim-launches")) + lines(path("real-launches")) + lines(path("ctl-launches")) - launchesBefore;
    const double tick = 1.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));

    std::printf("  helper launches during the %.1f s: %zu (the three watches together)\n", wall, launches);
    std::printf("  the library's two watches (simulated bus, udev), one process: %.4f %% of a core "
                "(%.3f ms of CPU)\n",
                100.0 * cpu / wall, cpu * 1e3);
    if (ticks >= 0) {
        std::printf("  zelvikctl list --watch: %.4f %% of a core (%ld ticks of %.0f ms)\n",
                    100.0 * static_cast<double>(ticks) * tick / wall, ticks, tick * 1e3);
    }

    std::printf("\n== printer watch, from a bus file renamed over to the event (20 changes)\n");
    std::vector<double> delays;
    const std::size_t simLaunches = lines(path("sim-launches"));
    for (int round = 0; round < 20; ++round) {
        const std::size_t before = simulated.size();
        const auto changed = Clock::now();
        replaceBus(round % 2 == 0 ? 4 : 3);  // one printer more, then one less
        const auto seen = simulated.waitFor(before + 1);
        if (!seen) {
            std::printf("  no event within 10 s\n");
            break;
        }
        delays.push_back(std::chrono::duration<double, std::milli>(*seen - changed).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!delays.empty()) {
        std::printf("  median %.1f ms, worst %.1f ms (250 ms of it is the wait for events to settle); "
                    "%zu listings for %zu changes\n",
                    median(delays), *std::max_element(delays.begin(), delays.end()),
                    lines(path("sim-launches")) - simLaunches, delays.size());
    }

    if (ctl > 0) {
        ::kill(ctl, SIGINT);
        ::waitpid(ctl, nullptr, 0);
    }
    simWatch->stop();
    udevWatch->stop();
    std::error_code ignored;
    std::filesystem::remove_all(gFolder, ignored);
    return 0;
}
