// SPDX-License-Identifier: Apache-2.0
// Reading a printer's PJL answer: its blocks, the question each block
// answers, and the values a block holds.
//
// A printer answers each question with a block: a line "@PJL" and the
// question's words ("@PJL INFO STATUS"), the lines of the answer, and a
// form feed. One read may hold several blocks, and blocks the printer
// sends on its own ("@PJL USTATUS DEVICE" while status reporting is on)
// may come before the one asked for, so a figure is read from the block of
// its own question only:
//
//   const auto status = zelvik::client::pjl::answerTo(answer, "INFO STATUS");
//   if (status) display = zelvik::client::pjl::valueOf(*status, "DISPLAY");
//
// Plain values and free functions only, so that they can be wrapped for
// other languages as they are.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelvik::client::pjl {

// One line of a block after its "@PJL" line: KEY=value, or a bare value.
struct Line {
    std::string key;      // "CODE" of CODE=10001; empty for a bare value
    std::string value;    // without its quotes, blanks around it removed
    bool quoted = false;  // the value was a quoted string
};

struct Block {
    // The words after "@PJL", one blank between them: "INFO STATUS",
    // "USTATUS DEVICE", "ECHO 42".
    std::string header;
    std::vector<Line> lines;  // empty lines left out
    // Ended by its form feed; the last block of an answer that was cut
    // short is not.
    bool complete = false;
};

// The blocks of `answer` in order. A block starts at a line that begins
// with "@PJL" and ends at a form feed (or, cut short, at the next "@PJL"
// line or the end); lines may end in CR LF or LF; text outside any block
// is passed over.
std::vector<Block> blocks(std::string_view answer);

// The header of the block a printer sends back for `question`, a PJL
// command with or without "@PJL": "INFO ID" for "@PJL INFO ID",
// "USTATUS DEVICE" for "USTATUS DEVICE = ON", "ECHO 42" for "ECHO 42" (the
// same for INQUIRE and DINQUIRE); nothing for a command that is not
// answered ("SET", "ENTER" ...).
std::optional<std::string> echoOf(std::string_view question);

// The first complete block that answers `question` (command words compared
// without regard to case, an ECHO's text exactly); blocks of other
// questions and blocks the printer sent on its own are passed over.
const Block* answerTo(const std::vector<Block>& answerBlocks, std::string_view question);
std::optional<Block> answerTo(std::string_view answer, std::string_view question);

// The value of the block's first KEY=value line of that key (compared
// without regard to case).
std::optional<std::string> valueOf(const Block& block, std::string_view key);
// The block's first bare value ("1234", "\"LP-100\"" without its quotes).
std::optional<std::string> bareValue(const Block& block);
// The lines those two read, within the block; null when there is none.
const Line* lineOf(const Block& block, std::string_view key);
const Line* bareLine(const Block& block);

}  // namespace zelvik::client::pjl
