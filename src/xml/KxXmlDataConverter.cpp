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
#include <unordered_map>
#include <utility>
#include <vector>

#include "xml/XmlParsing.h"

namespace zelvik {

namespace {

using xmlparsing::ExpansionBudget;

// A node's children, indexed once: the distinct names of its named children
// (elements and processing instructions) in the order of their first
// appearance, and its child elements by name in document order.
struct ChildIndex {
    std::vector<std::string> names;
    std::unordered_map<std::string, std::vector<const xmlNode*>> elements;
};

bool indexChildren(const xmlNode* node, ChildIndex& index, ExpansionBudget& budget) {
    std::vector<const xmlNode*> children;
    if (!xmlparsing::appendExpandedChildren(node, children, budget)) return false;
    for (const xmlNode* child : children) {
        std::string name;
        if (child->type == XML_ELEMENT_NODE) {
            name = xmlparsing::qualifiedName(child);
        } else if (child->type == XML_PI_NODE) {
            // A processing instruction's target counts as a name; it matches
            // no element unless one has the same name.
            name = std::string(xmlparsing::nodeContent(child));
        } else {
            continue;
        }
        auto found = index.elements.find(name);
        if (found == index.elements.end()) {
            index.names.push_back(name);
            found = index.elements.emplace(std::move(name), std::vector<const xmlNode*>()).first;
        }
        if (child->type == XML_ELEMENT_NODE) found->second.push_back(child);
    }
    return true;
}

// The child elements that a bare element name selects, in document order.
// Names match as written in the document, prefix included; this is the only
// form of expression the reader asks for.
const std::vector<const xmlNode*>* nodesOf(const ChildIndex& index, const std::string& forXPath) {
    const auto found = index.elements.find(forXPath);
    return found == index.elements.end() ? nullptr : &found->second;
}

// All text beneath a node in document order: text, CDATA sections and the
// content of internal entities; comments and processing instructions add
// nothing.
bool appendStringValue(const xmlNode* node, std::string& out, ExpansionBudget& budget) {
    std::vector<const xmlNode*> children;
    if (!xmlparsing::appendExpandedChildren(node, children, budget)) return false;
    for (const xmlNode* child : children) {
        if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
            out += xmlparsing::nodeContent(child);
        } else if (child->type == XML_ELEMENT_NODE) {
            if (!appendStringValue(child, out, budget)) return false;
        }
    }
    return true;
}

// The value of the document node or an element: the dictionary of its child
// elements if it has any, its string value otherwise. Nothing when the read
// ran out of budget (the caller then gives nothing for the whole document).
std::optional<Value> copyNodeValue(const xmlNode* node, ExpansionBudget& budget) {
    if (node == nullptr) return std::nullopt;
    ChildIndex index;
    if (!indexChildren(node, index, budget)) return std::nullopt;

    Dictionary dictionary;
    bool found = false;
    for (const std::string& name : index.names) {
        const std::vector<const xmlNode*>* matches = nodesOf(index, name);
        if (matches == nullptr || matches->empty()) continue;
        if (matches->size() == 1) {
            std::optional<Value> value = copyNodeValue(matches->front(), budget);
            if (budget.exhausted()) return std::nullopt;
            if (value) dictionary.set(name, std::move(*value));
        } else {
            Array array;
            for (const xmlNode* match : *matches) {
                std::optional<Value> value = copyNodeValue(match, budget);
                if (budget.exhausted()) return std::nullopt;
                if (value) array.push_back(std::move(*value));
            }
            dictionary.set(name, std::move(array));
        }
        found = true;
    }
    if (found) return Value(std::move(dictionary));

    std::string text;
    if (!appendStringValue(node, text, budget)) return std::nullopt;
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
    const xmlparsing::XmlDocPtr document = xmlparsing::parseXmlDocument(data.data(), data.size());
    if (!document) return std::nullopt;
    ExpansionBudget budget(data.size());
    // The document node, not the root element: its value is the dictionary
    // {root name -> root's value}.
    std::optional<Value> value = copyNodeValue(reinterpret_cast<const xmlNode*>(document.get()), budget);
    if (!value || budget.exhausted()) return std::nullopt;
    Dictionary* dictionary = value->asDictionary();
    if (dictionary == nullptr) return std::nullopt;
    return std::move(*dictionary);
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
