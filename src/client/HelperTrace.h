// SPDX-License-Identifier: Apache-2.0
// The helper's diagnostic trace of one run, kept in the private directory:
// its last line names the result and the printer link's reason for it
// ("command dataOutput: result 7, printer: printerHeld").
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "zelvik/client.h"

namespace zelvik::client::detail {

// The reason on the last result line of a trace: its name, empty when the
// line names none. Nothing when there is no such line (an older helper
// writes no trace) or no regular file. Only the trace's end is read.
std::optional<std::string> tracedReason(const std::string& path);
// The same, of a trace's text.
std::optional<std::string> tracedReasonIn(std::string_view text);

// The reason a run of the helper ended with `code` for: the one its trace
// names (`traced`, as tracedReason() gave it); else unknown for a printer
// failure (7) and none for any other code.
Reason reasonOf(int code, const std::optional<std::string>& traced);

// Frees the head of a trace that takes over `limit` bytes on disk: a print
// job traces every chunk it sends, and only the last lines count. The head
// becomes a hole (the file keeps its size and its tail, so a line the
// helper has just appended is never lost); where the file system cannot
// punch holes, the trace is left to grow.
void trimTrace(const std::string& path, std::size_t limit);

// Appends a trace to the caller's own (ZELVIK_TRACE): a regular file or
// nothing yet, never through a link.
void copyTrace(const std::string& from, const std::string& to);

}  // namespace zelvik::client::detail
