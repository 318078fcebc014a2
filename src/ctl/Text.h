// SPDX-License-Identifier: Apache-2.0
// The text zelvikctl shows: tables, printer answers made visible, the
// readable block of a printer's identity and state, the progress bar.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelvikctl {

// Columns padded to their widest cell (counted in characters, not bytes).
std::string table(const std::vector<std::vector<std::string>>& rows);

// Text from a device, safe on a terminal: control characters in caret
// notation (ESC as ^[, CR as ^M, form feed as ^L), bytes above 0x7F as
// \xNN. Line feeds stay line feeds in an answer shown whole; within one
// field (a model name, a display text) they show as ^J.
enum class LineFeeds { keep, show };
std::string visible(std::string_view bytes, LineFeeds lineFeeds = LineFeeds::keep);

// What "@PJL INFO ID", "INFO STATUS" and "INFO PAGECOUNT" answered.
struct PrinterInfo {
    std::optional<std::string> model;
    std::optional<std::string> statusCode;
    std::optional<std::string> display;
    std::optional<bool> online;
    std::optional<std::uint64_t> pageCount;
};
// Reads the figures of `question` ("INFO ID", "INFO STATUS" or "INFO
// PAGECOUNT") from its own block of `answer`; blocks of other questions and
// those the printer sent on its own are passed over, and a figure without
// its block stays unknown.
void readInfoAnswer(std::string_view question, std::string_view answer, PrinterInfo& info);
// The figures, one per line, device text made visible.
std::string infoBlock(const PrinterInfo& info);

// "12.3 MiB", "512 B".
std::string bytesText(double bytes);
// "1:05", "1:02:03".
std::string durationText(double seconds);
// One line of the live bar, sized to `width` columns.
std::string progressBar(int percent, std::uint64_t total, double elapsedSeconds, unsigned width);

}  // namespace zelvikctl
