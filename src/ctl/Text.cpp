// SPDX-License-Identifier: Apache-2.0
#include "Text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace zelvikctl {
namespace {

std::size_t characters(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The lines of an answer without their CR, the header line ("@PJL INFO
// ...") and the final form feed left out.
std::vector<std::string_view> bodyLines(std::string_view answer) {
    std::vector<std::string_view> lines;
    std::size_t at = 0;
    while (at <= answer.size()) {
        std::size_t end = answer.find('\n', at);
        if (end == std::string_view::npos) end = answer.size();
        std::string_view line = answer.substr(at, end - at);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\f')) line.remove_suffix(1);
        while (!line.empty() && (line.front() == '\f' || line.front() == ' ')) line.remove_prefix(1);
        if (!line.empty() && line.rfind("@PJL", 0) != 0) lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

std::string_view unquoted(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
    return text;
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

std::string visible(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\n') {
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

void readIdAnswer(std::string_view answer, PrinterInfo& info) {
    const auto lines = bodyLines(answer);
    if (!lines.empty()) info.model = std::string(unquoted(lines.front()));
}

void readStatusAnswer(std::string_view answer, PrinterInfo& info) {
    for (const std::string_view line : bodyLines(answer)) {
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view key = line.substr(0, equals);
        const std::string_view value = unquoted(line.substr(equals + 1));
        if (key == "CODE") info.statusCode = std::string(value);
        if (key == "DISPLAY") info.display = std::string(value);
        if (key == "ONLINE") {
            if (value == "TRUE") info.online = true;
            if (value == "FALSE") info.online = false;
        }
    }
}

void readPageCountAnswer(std::string_view answer, PrinterInfo& info) {
    for (std::string_view line : bodyLines(answer)) {
        if (const std::size_t equals = line.find('='); equals != std::string_view::npos) line = line.substr(equals + 1);
        std::uint64_t count = 0;
        const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), count);
        if (error == std::errc() && end == line.data() + line.size()) {
            info.pageCount = count;
            return;
        }
    }
}

std::string infoBlock(const PrinterInfo& info) {
    const std::string unknown = "unknown";
    std::string status = info.statusCode.value_or(unknown);
    if (info.display) status += " \"" + *info.display + "\"";
    return table({{"model:", info.model.value_or(unknown)},
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
