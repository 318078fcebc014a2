// SPDX-License-Identifier: Apache-2.0
// The second pair of conversions, with its own rules: the reader takes a path
// that it makes into a "file:///" URL, skips white-space-only text and takes
// an element's first child node as its value; the writer produces one compact
// line with a lower-case "utf-8" declaration and leaves out anything that is
// not a dictionary, an array or a string. Nothing in the program calls it.

#include <climits>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/Files.h"
#include "xml/KxXmlDataConverter.h"
#include "xml/XmlParsing.h"

namespace zelvik {

namespace {

// ---------------------------------------------------------------------------
// The file behind a "file:///" URL

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

// A character that may stand for itself in a URL path segment, query or
// fragment: unreserved characters, sub-delimiters, ':' and '@'.
bool isPathCharacter(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("-._~!$&'()*+,;=:@").find(c) != std::string_view::npos;
}

// The file system path that the URL "file:///" + url names: the URL's path
// part with its percent escapes decoded. A question mark starts the query and
// a number sign the fragment, neither of which names the file. Nothing when
// the string is not a valid URL (a space, a stray '%', a second '#', ...).
std::optional<std::string> fileSystemPathOfFileURL(std::string_view url) {
    enum class Section { path, query, fragment };
    Section section = Section::path;
    std::string decoded = "/";
    for (std::size_t i = 0; i < url.size(); ++i) {
        const char c = url[i];
        if (c == '%') {
            if (i + 2 >= url.size()) return std::nullopt;
            if (!isHexDigit(url[i + 1]) || !isHexDigit(url[i + 2])) return std::nullopt;
            if (section == Section::path) {
                decoded += static_cast<char>(hexValue(url[i + 1]) * 16 + hexValue(url[i + 2]));
            }
            i += 2;
        } else if (c == '#') {
            if (section == Section::fragment) return std::nullopt;
            section = Section::fragment;
        } else if (c == '?' && section == Section::path) {
            section = Section::query;
        } else if (c == '/' || (c == '?' && section != Section::path) || isPathCharacter(c)) {
            if (section == Section::path) decoded += c;
        } else {
            return std::nullopt;
        }
    }
    // A decoded NUL cannot be part of a file name.
    if (decoded.find('\0') != std::string::npos) return std::nullopt;
    return decoded;
}

// ---------------------------------------------------------------------------
// The node tree the reader walks

// Node kinds, with the codes of the platform facility this pair mirrors.
enum class Kind {
    document = 1,
    element = 2,
    processingInstruction = 4,
    comment = 5,
    text = 6,
    cdataSection = 7,
};

// One node: an element's string is its name, a text or CDATA node's its text,
// a comment's its content, a processing instruction's its target.
struct Node {
    Kind kind;
    std::string string;
    std::vector<Node> children;
};

bool isWhiteSpaceOnly(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

// Copies the content of a parsed element into the reader's tree. Entity and
// character references are already part of the text; a text node that holds
// only white space is left out.
void buildChildren(const xmlparsing::Node& source, Node& into) {
    for (const xmlparsing::Node& child : source.children) {
        switch (child.kind) {
            case xmlparsing::NodeKind::element: {
                Node element{Kind::element, child.name, {}};
                buildChildren(child, element);
                into.children.push_back(std::move(element));
                break;
            }
            case xmlparsing::NodeKind::text:
                if (!isWhiteSpaceOnly(child.text)) into.children.push_back(Node{Kind::text, child.text, {}});
                break;
            case xmlparsing::NodeKind::cdataSection:
                into.children.push_back(Node{Kind::cdataSection, child.text, {}});
                break;
            case xmlparsing::NodeKind::comment: into.children.push_back(Node{Kind::comment, child.text, {}}); break;
            case xmlparsing::NodeKind::processingInstruction:
                into.children.push_back(Node{Kind::processingInstruction, child.name, {}});
                break;
        }
    }
}

bool isContainer(const Node& node) { return node.kind == Kind::document || node.kind == Kind::element; }

// The value of a node. A document or an element gives the dictionary of its
// child elements (empty when it has none); a name whose elements give two or
// more values becomes an array. Any other node gives its string.
Value walk(const Node& node) {
    if (!isContainer(node)) return Value(node.string);

    std::vector<std::string_view> names;
    std::unordered_map<std::string_view, std::vector<const Node*>> matches;
    for (const Node& child : node.children) {
        if (child.kind != Kind::element || child.string.empty()) continue;
        auto [found, inserted] = matches.try_emplace(child.string);
        if (inserted) names.push_back(child.string);
        found->second.push_back(&child);
    }

    Dictionary dictionary;
    for (std::string_view name : names) {
        Array values;
        for (const Node* match : matches[name]) {
            // An element whose first child is text, a comment or the like
            // reads as that first child alone.
            const bool firstChildIsLeaf = !match->children.empty() && !isContainer(match->children.front());
            values.push_back(walk(firstChildIsLeaf ? match->children.front() : *match));
        }
        if (values.size() == 1) {
            dictionary.set(std::string(name), std::move(values.front()));
        } else if (values.size() > 1) {
            dictionary.set(std::string(name), std::move(values));
        }
    }
    return Value(std::move(dictionary));
}

// ---------------------------------------------------------------------------
// Writing

// Appends the elements for a value; false when a name or a text that would be
// written cannot be, which makes the whole write give nothing.
bool appendElement(const Value& value, const std::string& tag, std::string& out);

bool appendDictionaryElement(const Dictionary& dictionary, const std::string& tag, std::string& out) {
    if (!xmlparsing::isUsableElementName(tag)) return false;
    out += '<';
    out += tag;
    out += '>';
    for (std::size_t i = 0; i < dictionary.size(); ++i) {
        if (!appendElement(dictionary.valueAt(i), dictionary.nameAt(i), out)) return false;
    }
    out += "</";
    out += tag;
    out += '>';
    return true;
}

bool appendElement(const Value& value, const std::string& tag, std::string& out) {
    if (const Dictionary* dictionary = value.asDictionary()) {
        return appendDictionaryElement(*dictionary, tag, out);
    }
    if (const Array* array = value.asArray()) {
        // The items become consecutive siblings named by the array's key.
        for (const Value& item : *array) {
            if (!appendElement(item, tag, out)) return false;
        }
        return true;
    }
    if (const std::string* text = value.asString()) {
        if (!xmlparsing::isUsableElementName(tag)) return false;
        out += '<';
        out += tag;
        out += '>';
        if (!xmlparsing::appendEscapedText(*text, out)) return false;
        out += "</";
        out += tag;
        out += '>';
        return true;
    }
    // Numbers and anything else are not written at all.
    return true;
}

}  // namespace

std::optional<Dictionary> KxXmlDataConverter::copyXMLDataToDictionaryCF(const std::string& path) const {
    const std::optional<std::string> fileSystemPath = fileSystemPathOfFileURL(path);
    if (!fileSystemPath) return std::nullopt;
    // Only a regular file: other kinds of file (a FIFO, a device) could
    // block or never end.
    const std::optional<Bytes> data = readRegularFile(*fileSystemPath, INT_MAX);
    if (!data) return std::nullopt;

    // A parse failure is not reported anywhere: the caller gets nothing.
    const std::optional<xmlparsing::Node> root = xmlparsing::parseXmlDocument(data->data(), data->size());
    if (!root) return std::nullopt;
    Node element{Kind::element, root->name, {}};
    buildChildren(*root, element);
    Node tree{Kind::document, {}, {}};
    tree.children.push_back(std::move(element));
    Value value = walk(tree);
    Dictionary* dictionary = value.asDictionary();
    if (dictionary == nullptr) return std::nullopt;
    return std::move(*dictionary);
}

std::optional<Bytes> KxXmlDataConverter::copyDictionaryToXmlDataCF(const Dictionary* dictionary,
                                                                   const std::string* root) const {
    std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
    if (dictionary != nullptr && root != nullptr) {
        if (!appendDictionaryElement(*dictionary, *root, text)) return std::nullopt;
    }
    return Bytes(text.begin(), text.end());
}

}  // namespace zelvik
