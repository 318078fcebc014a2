// SPDX-License-Identifier: Apache-2.0
#include "HelperTrace.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/Files.h"
#include "base/UniqueFD.h"

namespace zelvik::client::detail {
namespace {

// The end of a trace that is read: the result line is its last or nearly
// (a line is at most a few hundred bytes).
constexpr std::size_t kTraceTail = std::size_t{16} * 1024;

// The reason on one line, when it is a result line: "SECONDS command NAME:
// result CODE[ (cancelled)][, printer: REASON]". Device text never starts a
// line, and its line breaks are written escaped.
std::optional<std::string> reasonOnLine(std::string_view line) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || line.find_first_not_of("0123456789.") != space) return std::nullopt;
    line.remove_prefix(space + 1);
    constexpr std::string_view kCommand = "command ";
    constexpr std::string_view kResult = ": result ";
    constexpr std::string_view kPrinter = ", printer: ";
    if (line.substr(0, kCommand.size()) != kCommand) return std::nullopt;
    const std::size_t result = line.find(kResult);
    if (result == std::string_view::npos) return std::nullopt;
    line.remove_prefix(result + kResult.size());
    if (line.empty() || line[0] < '0' || line[0] > '9') return std::nullopt;
    const std::size_t printer = line.find(kPrinter);
    if (printer == std::string_view::npos) return std::string();
    const std::string_view name = line.substr(printer + kPrinter.size());
    const bool word = !name.empty() && name.size() <= 32 && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
    return word ? std::string(name) : std::string("?");
}

}  // namespace

std::optional<std::string> tracedReasonIn(std::string_view text) {
    while (!text.empty()) {
        if (text.back() == '\n') text.remove_suffix(1);
        const std::size_t start = text.rfind('\n');
        const std::string_view line = start == std::string_view::npos ? text : text.substr(start + 1);
        if (auto reason = reasonOnLine(line)) return reason;
        text = start == std::string_view::npos ? std::string_view() : text.substr(0, start + 1);
    }
    return std::nullopt;
}

Reason reasonOf(int code, const std::optional<std::string>& traced) {
    if (traced && !traced->empty()) {
        // The names the helper's printer link gives; busy, none and unknown
        // are the client's own.
        for (int value = static_cast<int>(Reason::busUnreachable); value <= static_cast<int>(Reason::transferFailed);
             ++value) {
            if (*traced == nameOf(static_cast<Reason>(value))) return static_cast<Reason>(value);
        }
        return Reason::unknown;
    }
    return code == 7 ? Reason::unknown : Reason::none;
}

std::optional<std::string> tracedReason(const std::string& path) {
    struct stat info {};
    const UniqueFD fd = openRegularFile(path, &info);
    if (!fd.isValid()) return std::nullopt;
    const auto size = static_cast<std::size_t>(std::max<off_t>(info.st_size, 0));
    const std::size_t from = size > kTraceTail ? size - kTraceTail : 0;
    std::string tail(size - from, '\0');
    std::size_t have = 0;
    while (have < tail.size()) {
        const ssize_t n = ::pread(fd.get(), tail.data() + have, tail.size() - have, static_cast<off_t>(from + have));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<std::size_t>(n);
    }
    tail.resize(have);
    // A first line cut by the start of the tail is no line.
    if (from > 0) {
        const std::size_t first = tail.find('\n');
        tail.erase(0, first == std::string::npos ? tail.size() : first + 1);
    }
    return tracedReasonIn(tail);
}

void trimTrace(const std::string& path, std::size_t limit) {
    // What the trace holds on disk, not its size: a trimmed trace keeps its
    // size, with a hole where its head was.
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_blocks) * 512 <= limit) {
        return;
    }
    // The head goes, the tail stays where it is: the helper goes on
    // appending while this runs, and a result line written a moment ago
    // must still be read. Whole blocks only, so that no byte of the tail is
    // touched.
    const UniqueFD fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.isValid()) return;
    const off_t keep = static_cast<off_t>(kTraceTail) * 4;
    const off_t head = (info.st_size - keep) / 4096 * 4096;
    if (head <= 0) return;
    [[maybe_unused]] const int ignored = ::fallocate(fd.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, head);
}

void copyTrace(const std::string& from, const std::string& to) {
    const UniqueFD source = openRegularFile(from);
    if (!source.isValid()) return;
    const UniqueFD target = openRegularFileForAppending(to);
    if (!target.isValid()) return;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(source.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (ssize_t done = 0; done < n;) {
            const ssize_t written = ::write(target.get(), chunk + done, static_cast<std::size_t>(n - done));
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return;
            done += written;
        }
    }
}

}  // namespace zelvik::client::detail
