// SPDX-License-Identifier: Apache-2.0
#include "zelvik/pjl.h"

#include <algorithm>

namespace zelvik::client::pjl {
namespace {

constexpr std::string_view kUniversalExit = "\x1b%-12345X";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool sameWords(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return upper(x) == upper(y); });
}

std::string upperCase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), upper);
    return out;
}

// Runs of blanks made one blank, none at either end.
std::string singleSpaced(std::string_view text) {
    std::string out;
    for (const char c : trimmed(text)) {
        if (isBlank(c)) {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

// The text after a leading "@PJL" word; nothing when the text has none.
std::optional<std::string_view> afterPjl(std::string_view text) {
    while (text.substr(0, kUniversalExit.size()) == kUniversalExit) text.remove_prefix(kUniversalExit.size());
    text = trimmed(text);
    if (text.size() < 4 || !sameWords(text.substr(0, 4), "@PJL")) return std::nullopt;
    if (text.size() > 4 && !isBlank(text[4])) return std::nullopt;
    return trimmed(text.substr(4));
}

// A quoted value's text, or the text as it is.
void setValue(Line& line, std::string_view text) {
    text = trimmed(text);
    if (text.size() >= 2 && text.front() == '"') {
        const std::size_t close = text.find('"', 1);
        if (close != std::string_view::npos) {
            line.value = std::string(text.substr(1, close - 1));
            line.quoted = true;
            return;
        }
    }
    line.value = std::string(text);
}

Line readLine(std::string_view text) {
    Line line;
    const std::size_t equals = text.find('=');
    if (text.front() != '"' && equals != std::string_view::npos) {
        const std::string_view key = trimmed(text.substr(0, equals));
        if (!key.empty() && key.find('"') == std::string_view::npos) {
            line.key = std::string(key);
            setValue(line, text.substr(equals + 1));
            return line;
        }
    }
    setValue(line, text);
    return line;
}

}  // namespace

std::vector<Block> blocks(std::string_view answer) {
    std::vector<Block> found;
    bool open = false;
    auto endLine = [&](std::string_view line) {
        if (const std::optional<std::string_view> header = afterPjl(line)) {
            found.push_back(Block{singleSpaced(*header), {}, false});
            open = true;
        } else if (open && !trimmed(line).empty()) {
            found.back().lines.push_back(readLine(trimmed(line)));
        }
    };
    std::size_t start = 0;
    for (std::size_t at = 0; at < answer.size(); ++at) {
        const char c = answer[at];
        if (c != '\n' && c != '\f') continue;
        endLine(answer.substr(start, at - start));
        start = at + 1;
        if (c == '\f' && open) {
            found.back().complete = true;
            open = false;
        }
    }
    endLine(answer.substr(start));
    return found;
}

std::optional<std::string> echoOf(std::string_view question) {
    std::string_view text = trimmed(question);
    while (!text.empty() && (text.back() == '\n' || isBlank(text.back()))) text.remove_suffix(1);
    if (const std::optional<std::string_view> rest = afterPjl(text)) text = *rest;
    const std::string command = upperCase(text.substr(0, std::min(text.find_first_of(" \t"), text.size())));
    const std::string_view rest = trimmed(text.substr(command.size()));
    if (command == "ECHO") return rest.empty() ? command : command + " " + singleSpaced(rest);
    if (rest.empty()) return std::nullopt;
    if (command == "INFO" || command == "INQUIRE" || command == "DINQUIRE") {
        return command + " " + upperCase(singleSpaced(rest));
    }
    if (command == "USTATUS") {
        const std::string category = singleSpaced(rest.substr(0, rest.find('=')));
        if (category.empty()) return std::nullopt;
        return command + " " + upperCase(category.substr(0, category.find(' ')));
    }
    return std::nullopt;
}

const Block* answerTo(const std::vector<Block>& answerBlocks, std::string_view question) {
    const std::optional<std::string> echo = echoOf(question);
    if (!echo) return nullptr;
    const bool isEcho = echo->rfind("ECHO", 0) == 0;
    for (const Block& block : answerBlocks) {
        if (!block.complete) continue;
        // An ECHO's text comes back as it was sent.
        const bool matches = isEcho ? sameWords(block.header.substr(0, 4), "ECHO") &&
                                          block.header.substr(std::min<std::size_t>(4, block.header.size())) ==
                                              echo->substr(4)
                                    : sameWords(block.header, *echo);
        if (matches) return &block;
    }
    return nullptr;
}

std::optional<Block> answerTo(std::string_view answer, std::string_view question) {
    const std::vector<Block> all = blocks(answer);
    const Block* block = answerTo(all, question);
    if (block == nullptr) return std::nullopt;
    return *block;
}

const Line* lineOf(const Block& block, std::string_view key) {
    for (const Line& line : block.lines) {
        if (!line.key.empty() && sameWords(line.key, key)) return &line;
    }
    return nullptr;
}

const Line* bareLine(const Block& block) {
    for (const Line& line : block.lines) {
        if (line.key.empty()) return &line;
    }
    return nullptr;
}

std::optional<std::string> valueOf(const Block& block, std::string_view key) {
    const Line* line = lineOf(block, key);
    if (line == nullptr) return std::nullopt;
    return line->value;
}

std::optional<std::string> bareValue(const Block& block) {
    const Line* line = bareLine(block);
    if (line == nullptr) return std::nullopt;
    return line->value;
}

}  // namespace zelvik::client::pjl
