// SPDX-License-Identifier: Apache-2.0
#include "base/Trace.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/Files.h"

namespace zelvik::trace {
namespace {

struct TraceFile {
    int fd = -1;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    TraceFile() {
        const char* path = std::getenv("ZELVIK_TRACE");
        if (path == nullptr || *path == 0) return;
        // A link or anything but a regular file at the path means no trace.
        fd = openRegularFileForAppending(path).release();
    }
};

// Device text goes into lines as it came: its control characters (C0, DEL,
// and C1 as UTF-8) are made visible as \xNN, so that a trace shown on a
// terminal cannot act on it.
std::string visible(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char escaped[16];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0U;
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            std::snprintf(escaped, sizeof escaped, "\\xc2\\x%02x", next);
            out += escaped;
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

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
    std::string shown = visible(std::string_view(text, static_cast<std::size_t>(used)));
    shown.push_back('\n');
    // A short or failed write loses the line, never the run.
    while (::write(trace.fd, shown.data(), shown.size()) < 0 && errno == EINTR) {
    }
}

}  // namespace zelvik::trace
