// SPDX-License-Identifier: Apache-2.0
// Internal to the XML converter: safe parsing with libxml2, a view of a parsed
// tree with internal entities expanded, and the checks and escaping that keep
// the writers from producing anything but well-formed documents.
#pragma once

#include <libxml/tree.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zelvik::xmlparsing {

struct XmlDocDeleter {
    void operator()(xmlDoc* doc) const noexcept;
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocDeleter>;

// Why a document could not be parsed: the line and libxml2's own words.
struct ParseFailure {
    long line = 0;  // 0: not known
    std::string message;
};

// Parses a whole document held in memory; the encoding is found from the
// byte-order mark or the declaration. Nothing is fetched from the network, no
// external entity or DTD is ever loaded, libxml2's default size and
// expansion limits apply, and libxml2 reports nothing anywhere. Null when the
// bytes are not a well-formed document; `failure`, when given, then says
// why. Safe to call from several threads.
XmlDocPtr parseXmlDocument(const std::uint8_t* data, std::size_t size, ParseFailure* failure = nullptr);

// Bounds the work a reader does on one document. The parser keeps entity
// references as nodes; expanding them in our own walk could otherwise turn a
// few kilobytes of nested declarations into gigabytes.
class ExpansionBudget {
public:
    explicit ExpansionBudget(std::size_t documentSize);
    // False once the budget is used up; it stays used up.
    bool charge(std::size_t units);
    bool exhausted() const { return mExhausted; }

private:
    std::size_t mRemaining;
    bool mExhausted = false;
};

// Appends the children of node in document order, as they would stand with
// every internal entity reference replaced by the entity's content. A
// reference to an external entity contributes nothing (its content is never
// loaded). Every node visited is charged to the budget, text by its length;
// false when the budget ran out.
bool appendExpandedChildren(const xmlNode* node, std::vector<const xmlNode*>& out, ExpansionBudget& budget);
// The same for the nodes of an attribute's value.
bool appendExpandedValue(const xmlAttr* attribute, std::vector<const xmlNode*>& out, ExpansionBudget& budget);

// An element's name as written in the document, with its prefix if any.
std::string qualifiedName(const xmlNode* element);

// The text of a text or CDATA node, a comment's content, a processing
// instruction's target; empty for anything else.
std::string_view nodeContent(const xmlNode* node);

// Whether a string can stand as an element name in what the writers produce:
// an XML 1.0 name without a colon (a prefix would need a namespace
// declaration, which the writers never write).
bool isUsableElementName(std::string_view name);

// Whether text can stand as element content: valid UTF-8 of characters that
// XML 1.0 allows (no C0 control but tab, line feed and carriage return; no
// U+FFFE or U+FFFF).
bool isWritableText(std::string_view text);

// Appends text escaped for element content, so that a reader gets back
// exactly the string: '&', '<', '>' as entity references and a carriage
// return as a character reference (a literal one would be read back as a line
// feed). False, with out left half-written, when the text is not writable
// (isWritableText).
bool appendEscapedText(std::string_view text, std::string& out);

}  // namespace zelvik::xmlparsing
