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

// Control characters in caret notation (ESC as ^[, CR as ^M, form feed as
// ^L), bytes above 0x7F as \xNN; line feeds stay line feeds.
std::string visible(std::string_view bytes);

// What "@PJL INFO ID", "INFO STATUS" and "INFO PAGECOUNT" answered.
struct PrinterInfo {
    std::optional<std::string> model;
    std::optional<std::string> statusCode;
    std::optional<std::string> display;
    std::optional<bool> online;
    std::optional<std::uint64_t> pageCount;
};
void readIdAnswer(std::string_view answer, PrinterInfo& info);
void readStatusAnswer(std::string_view answer, PrinterInfo& info);
void readPageCountAnswer(std::string_view answer, PrinterInfo& info);
std::string infoBlock(const PrinterInfo& info);

// "12.3 MiB", "512 B".
std::string bytesText(double bytes);
// "1:05", "1:02:03".
std::string durationText(double seconds);
// One line of the live bar, sized to `width` columns.
std::string progressBar(int percent, std::uint64_t total, double elapsedSeconds, unsigned width);

}  // namespace zelvikctl
