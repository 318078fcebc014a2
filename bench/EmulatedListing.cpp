// SPDX-License-Identifier: Apache-2.0
// Start to exit of getPrinterList in the zelvik program (libusb) for 1 and
// for 16 printers behind hubs, on the emulated kernel of the umockdev tests.
// Restarts itself under umockdev's preload library, which the program it
// starts inherits.
//   zelvik_emulated_listing ZELVIK
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "umockdev/EmulatedBus.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Printers in hubs on ports 1-4 of bus 1, four to a hub.
std::vector<zelvik::sim::VirtualPrinterConfig> printersBehindHubs(int count) {
    std::vector<zelvik::sim::VirtualPrinterConfig> printers;
    for (int i = 0; i < count; ++i) {
        zelvik::sim::VirtualPrinterConfig p;
        p.deviceID = "MFG:Zelvik;MDL:LP-" + std::to_string(i) + ";";
        p.serialNumber = "S" + std::to_string(i);
        p.locationID = 0x01000000u | static_cast<std::uint32_t>(i / 4 + 1) << 20 |
                       static_cast<std::uint32_t>(i % 4 + 1) << 16;
        printers.push_back(std::move(p));
    }
    return printers;
}

double listingSeconds(const std::string& program, const std::string& folder) {
    const std::string status = folder + "/status.xml", commandFile = folder + "/command.xml";
    std::remove(status.c_str());
    std::ofstream(commandFile) << "<commandBody><command>getPrinterList</command><statusFilePath>" << status
                               << "</statusFilePath><printerListFilePath>" << folder
                               << "/printers.xml</printerListFilePath><printerListMax>-1</printerListMax>"
                                  "</commandBody>";
    std::string p = program, c = commandFile;
    char* argv[] = {p.data(), c.data(), nullptr};
    const auto begin = Clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
    int result = 0;
    ::waitpid(pid, &result, 0);
    return std::chrono::duration<double>(Clock::now() - begin).count();
}

std::size_t listed(const std::string& folder) {
    std::ifstream in(folder + "/printers.xml");
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);) n += line.find("<deviceInformation>") != std::string::npos;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zelvik_emulated_listing ZELVIK\n");
        return 2;
    }
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "libumockdev-preload")) {
        std::string library = UMOCKDEV_PRELOAD_LIBRARY;
        if (preload && *preload) library += ":" + std::string(preload);
        setenv("LD_PRELOAD", library.c_str(), 1);
        execv("/proc/self/exe", argv);
        std::perror("cannot restart under umockdev");
        return 1;
    }
    char folder[] = "/tmp/zelvik-emulated-XXXXXX";
    if (!::mkdtemp(folder)) return 1;
    double times[2] = {};
    const int counts[2] = {1, 16};
    for (int k = 0; k < 2; ++k) {
        zelvik::emulation::EmulatedBus bus(printersBehindHubs(counts[k]), {});
        std::vector<double> runs;
        for (int i = 0; i < 20; ++i) runs.push_back(listingSeconds(argv[1], folder));
        std::sort(runs.begin(), runs.end());
        times[k] = (runs[9] + runs[10]) / 2;
        if (listed(folder) != static_cast<std::size_t>(counts[k]))
            std::printf("  (listed %zu of %d printers)\n", listed(folder), counts[k]);
    }
    std::printf("  1 printer: %.2f ms   16 printers: %.2f ms   ratio %.2f   (%.2f ms per further printer)\n",
                times[0] * 1e3, times[1] * 1e3, times[1] / times[0], (times[1] - times[0]) / 15 * 1e3);
    for (const char* name : {"/status.xml", "/command.xml", "/printers.xml"})
        std::remove((std::string(folder) + name).c_str());
    ::rmdir(folder);
    return 0;
}
