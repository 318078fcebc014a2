// SPDX-License-Identifier: Apache-2.0
// The diagnostic trace, off unless asked for: with ZELVIK_TRACE naming a
// file, each step that decides a result appends one line to it (the time
// since the process started, in seconds, then the step). Without the
// variable nothing is written and a trace point costs one test of a flag.
//
// The trace is for whoever has to tell one failure from another in the
// field; it is never a report to the front end, which learns everything
// from the status file.
#pragma once

#include <cstdint>

namespace zelvik::trace {

// Whether the trace is on: ZELVIK_TRACE is set, non-empty, at the first
// question, and names a regular file or nothing yet. The file is opened
// then, for appending (created 0600); a link, a FIFO or anything else at
// the path leaves the trace off, and the open never blocks.
bool enabled();

// Appends one line, written with a single write so that lines of threads
// never mix. Text beyond a few hundred bytes is cut; control characters
// are written as \xNN.
void line(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zelvik::trace

// A trace point: the arguments are evaluated only when the trace is on.
#define ZELVIK_TRACE(...)                                                   \
    do {                                                                    \
        if (::zelvik::trace::enabled()) ::zelvik::trace::line(__VA_ARGS__); \
    } while (false)
