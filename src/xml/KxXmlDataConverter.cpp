// SPDX-License-Identifier: Apache-2.0
// The pair of conversions the program uses for its command, status and
// printer list files.
//
// Reading maps a document to the dictionary tree: an element with child
// elements becomes the dictionary of its children (a name that occurs more
// than once among them an array in document order), any other element its
// whole text. Writing produces the pretty-printed form every file of the
// program has: 4-space indentation, "\n" line breaks, text elements on one
// line, empty elements as a start and an end tag on one line.
#include "xml/KxXmlDataConverter.h"

#include <charconv>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "xml/XmlParsing.h"

namespace zelvik {

namespace {

using xmlparsing::Node;
using xmlparsing::NodeKind;

// An element's children, indexed once: the distinct names of its named
// children (elements and processing instructions) in the order of their first
// appearance, and its child elements by name in document order.
struct ChildIndex {
    std::vector<std::string_view> names;
    std::unordered_map<std::string_view, std::vector<const Node*>> elements;
};

ChildIndex indexChildren(const Node& element) {
    ChildIndex index;
    for (const Node& child : element.children) {
        // A processing instruction's target counts as a name; it matches no
        // element unless one has the same name.
        if (child.kind != NodeKind::element && child.kind != NodeKind::processingInstruction) continue;
        auto [found, inserted] = index.elements.try_emplace(child.name);
        if (inserted) index.names.push_back(child.name);
        if (child.kind == NodeKind::element) found->second.push_back(&child);
    }
    return index;
}

// The value of an element: the dictionary of its child elements if it has
// any, else all its text in document order (text, CDATA sections and what
// references stand for); comments and processing instructions add nothing.
Value copyNodeValue(const Node& element) {
    const ChildIndex index = indexChildren(element);
    Dictionary dictionary;
    for (std::string_view name : index.names) {
        const std::vector<const Node*>& matches = index.elements.at(name);
        if (matches.empty()) continue;
        if (matches.size() == 1) {
            dictionary.set(std::string(name), copyNodeValue(*matches.front()));
        } else {
            Array array;
            for (const Node* match : matches) array.push_back(copyNodeValue(*match));
            dictionary.set(std::string(name), std::move(array));
        }
    }
    if (!dictionary.empty()) return Value(std::move(dictionary));

    std::string text;
    for (const Node& child : element.children) {
        if (child.kind == NodeKind::text || child.kind == NodeKind::cdataSection) text += child.text;
    }
    return Value(std::move(text));
}

// An element being written: either text or child elements, never both.
struct OutElement {
    std::string name;
    std::string text;
    std::vector<OutElement> children;
};

void convert(const Value& value, const std::string& tag, OutElement& parent) {
    if (const Dictionary* dictionary = value.asDictionary()) {
        OutElement element{tag, {}, {}};
        for (std::size_t i = 0; i < dictionary->size(); ++i) {
            convert(dictionary->valueAt(i), dictionary->nameAt(i), element);
        }
        parent.children.push_back(std::move(element));
    } else if (const Array* array = value.asArray()) {
        // The items become consecutive siblings named by the array's key.
        for (const Value& item : *array) convert(item, tag, parent);
    } else if (const std::string* text = value.asString()) {
        parent.children.push_back(OutElement{tag, *text, {}});
    } else if (const std::int64_t* number = value.asInteger()) {
        char digits[24];
        const auto result = std::to_chars(std::begin(digits), std::end(digits), *number);
        parent.children.push_back(OutElement{tag, std::string(digits, result.ptr), {}});
    }
}

constexpr std::size_t kIndentStep = 4;

bool writeElement(const OutElement& element, std::size_t depth, std::string& out) {
    if (!xmlparsing::isUsableElementName(element.name)) return false;
    const std::string indent(depth * kIndentStep, ' ');
    out += indent;
    out += '<';
    out += element.name;
    out += '>';
    if (element.children.empty()) {
        if (!xmlparsing::appendEscapedText(element.text, out)) return false;
    } else {
        out += '\n';
        for (const OutElement& child : element.children) {
            if (!writeElement(child, depth + 1, out)) return false;
        }
        out += indent;
    }
    out += "</";
    out += element.name;
    out += ">\n";
    return true;
}

}  // namespace

KxXmlDataConverter::KxXmlDataConverter() = default;

std::optional<Dictionary> KxXmlDataConverter::copyXMLDataToDictionaryNS(const Bytes& data) const {
    const std::optional<Node> root = xmlparsing::parseXmlDocument(data.data(), data.size());
    if (!root) return std::nullopt;
    // The document's value: the dictionary {root name -> root's value}.
    Dictionary document;
    document.set(root->name, copyNodeValue(*root));
    return document;
}

bool KxXmlDataConverter::isWritableText(std::string_view text) { return xmlparsing::isWritableText(text); }

std::optional<Bytes> KxXmlDataConverter::copyDictionaryToXmlDataNS(const Dictionary& dictionary,
                                                                   const std::string& rootName) const {
    return copyXMLWithPropertyList(dictionary, rootName);
}

// Nothing when the root name or a key that would be written is not a usable
// element name, or a string that would be written is not valid UTF-8 or holds
// a character XML does not allow: the result is always a well-formed document.
std::optional<Bytes> KxXmlDataConverter::copyXMLWithPropertyList(const Dictionary& dictionary,
                                                                 const std::string& rootName) const {
    OutElement root{rootName, {}, {}};
    for (std::size_t i = 0; i < dictionary.size(); ++i) {
        convert(dictionary.valueAt(i), dictionary.nameAt(i), root);
    }
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    if (!writeElement(root, 0, text)) return std::nullopt;
    return Bytes(text.begin(), text.end());
}

}  // namespace zelvik
