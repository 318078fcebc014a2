// Runs a built program on one command file and measures the child's
// resource use.
#pragma once

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/TempDir.h"

extern char** environ;

namespace zelvik::bench {

struct ChildUsage {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long peakRssKiB = 0;
};

inline ChildUsage runProgram(const std::string& program, const std::string& commandFile,
                             const std::string& busFile) {
    std::string env = "ZELVIK_SIMULATED_BUS=" + busFile;
    std::vector<char*> envp{env.data()};
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    envp.push_back(nullptr);
    std::string p = program, c = commandFile;
    char* argv[] = {p.data(), c.data(), nullptr};

    const auto begin = std::chrono::steady_clock::now();
    pid_t pid = -1;
    ChildUsage usage;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return usage;
    int status = 0;
    rusage r{};
    ::wait4(pid, &status, 0, &r);
    usage.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    usage.cpuSeconds = static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
                       static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    usage.peakRssKiB = r.ru_maxrss;
    return usage;
}

inline std::string command(const std::vector<std::pair<std::string, std::string>>& elements) {
    std::string xml = "<commandBody>";
    for (const auto& [name, value] : elements) xml += "<" + name + ">" + value + "</" + name + ">";
    return xml + "</commandBody>";
}

}  // namespace zelvik::bench
