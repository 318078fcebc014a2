// SPDX-License-Identifier: Apache-2.0
#include "Text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "zelvik/pjl.h"

namespace zelvikctl {
namespace {

std::size_t characters(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

std::string table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        if (widths.size() < row.size()) widths.resize(row.size(), 0);
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], characters(row[i]));
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - characters(row[i]) + 2, ' ');
        }
        out += line + "\n";
    }
    return out;
}

std::string visible(std::string_view bytes, LineFeeds lineFeeds) {
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\n' && lineFeeds == LineFeeds::keep) {
            out += '\n';
        } else if (byte < 0x20 || byte == 0x7F) {
            out += '^';
            out += static_cast<char>(byte ^ 0x40);
        } else if (byte > 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

void readInfoAnswer(std::string_view question, std::string_view answer, PrinterInfo& info) {
    namespace pjl = zelvik::client::pjl;
    const std::optional<pjl::Block> block = pjl::answerTo(answer, question);
    if (!block) return;
    if (question == "INFO ID") {
        info.model = pjl::bareValue(*block);
    } else if (question == "INFO STATUS") {
        info.statusCode = pjl::valueOf(*block, "CODE");
        info.display = pjl::valueOf(*block, "DISPLAY");
        const std::optional<std::string> online = pjl::valueOf(*block, "ONLINE");
        if (online == "TRUE") info.online = true;
        if (online == "FALSE") info.online = false;
    } else if (question == "INFO PAGECOUNT") {
        // A bare figure, or PAGECOUNT=figure.
        std::optional<std::string> figure = pjl::valueOf(*block, "PAGECOUNT");
        if (!figure) figure = pjl::bareValue(*block);
        std::uint64_t count = 0;
        if (figure && !figure->empty()) {
            const auto [end, error] = std::from_chars(figure->data(), figure->data() + figure->size(), count);
            if (error == std::errc() && end == figure->data() + figure->size()) info.pageCount = count;
        }
    }
}

std::string infoBlock(const PrinterInfo& info) {
    const std::string unknown = "unknown";
    auto shown = [&unknown](const std::optional<std::string>& text) {
        return text ? visible(*text, LineFeeds::show) : unknown;
    };
    std::string status = shown(info.statusCode);
    if (info.display) status += " \"" + visible(*info.display, LineFeeds::show) + "\"";
    return table({{"model:", shown(info.model)},
                  {"status:", status},
                  {"online:", info.online ? (*info.online ? "yes" : "no") : unknown},
                  {"page count:", info.pageCount ? std::to_string(*info.pageCount) : unknown}});
}

std::string bytesText(double bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    unsigned unit = 0;
    while (bytes >= 1024.0 && unit + 1 < std::size(kUnits)) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%.0f %s", bytes, kUnits[unit]);
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
    }
    return text;
}

std::string durationText(double seconds) {
    const auto whole = static_cast<long long>(std::max(0.0, std::round(seconds)));
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

std::string progressBar(int percent, std::uint64_t total, double elapsedSeconds, unsigned width) {
    percent = std::clamp(percent, 0, 100);
    const double sent = static_cast<double>(total) * percent / 100.0;
    std::string tail =
        " " + std::to_string(percent) + "%  " + bytesText(sent) + " of " + bytesText(static_cast<double>(total));
    if (elapsedSeconds > 0.5 && sent > 0) {
        const double rate = sent / elapsedSeconds;
        tail += "  " + bytesText(rate) + "/s";
        if (percent < 100) tail += "  " + durationText((static_cast<double>(total) - sent) / rate) + " left";
    }
    // The same bar on every line: its size depends on the terminal only
    // (the longest tail is about 60 columns).
    const std::size_t bar = std::clamp<std::size_t>(width > 64 ? width - 64 : 10, 10, 30);
    const std::size_t filled = bar * static_cast<std::size_t>(percent) / 100;
    return "[" + std::string(filled, '#') + std::string(bar - filled, '.') + "]" + tail;
}

}  // namespace zelvikctl
