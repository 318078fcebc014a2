// SPDX-License-Identifier: Apache-2.0
#include "base/Trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace zelvik::trace {
namespace {

struct TraceFile {
    int fd = -1;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    TraceFile() {
        const char* path = std::getenv("ZELVIK_TRACE");
        if (path == nullptr || *path == 0) return;
        fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    }
};

// Made on first use, on whichever thread asks first; never destroyed, so
// that a trace point in the end of the process still finds it.
TraceFile& file() {
    static TraceFile* const made = new TraceFile;
    return *made;
}

}  // namespace

bool enabled() { return file().fd >= 0; }

void line(const char* format, ...) {
    TraceFile& trace = file();
    if (trace.fd < 0) return;
    char text[512];
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - trace.start).count();
    int used = std::snprintf(text, sizeof text, "%.6f ", seconds);
    if (used < 0) return;
    va_list arguments;
    va_start(arguments, format);
    const int more = std::vsnprintf(text + used, sizeof text - static_cast<std::size_t>(used) - 1, format, arguments);
    va_end(arguments);
    if (more < 0) return;
    used += more;
    if (static_cast<std::size_t>(used) > sizeof text - 2) used = sizeof text - 2;
    text[used++] = '\n';
    // A short or failed write loses the line, never the run.
    while (::write(trace.fd, text, static_cast<std::size_t>(used)) < 0 && errno == EINTR) {
    }
}

}  // namespace zelvik::trace
