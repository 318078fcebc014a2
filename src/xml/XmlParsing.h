// SPDX-License-Identifier: Apache-2.0
// Internal to the XML converter: safe parsing with expat into a small tree of
// the document's content, with every internal entity replaced by its content,
// and the checks and escaping that keep the writers from producing anything
// but well-formed documents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelvik::xmlparsing {

enum class NodeKind { element, text, cdataSection, comment, processingInstruction };

// An attribute as written on its element's start tag: the name with its
// prefix, if any (namespaces are not resolved), and the value with its
// references replaced and its white space normalized as XML asks.
struct Attribute {
    std::string name;
    std::string value;
};

// One node of a parsed element's content. Adjacent text, including what
// character and entity references stand for, is one text node; adjacent
// CDATA sections are one node of their own, also when empty.
struct Node {
    NodeKind kind = NodeKind::element;
    // An element's name as written in the document (with its prefix, if
    // any); a processing instruction's target.
    std::string name;
    // The text of a text node or CDATA section; a comment's content.
    std::string text;
    // An element's content in document order.
    std::vector<Node> children;
    // An element's attributes in document order: those written on it, not
    // defaults a document type declaration gives (a name appears once: a
    // repeated attribute is not well-formed).
    std::vector<Attribute> attributes;
    // The line of an element's start tag (its '<'), counted from 1; for an
    // element an internal entity's content holds, the line of the reference.
    long line = 0;
};

// Why a document could not be parsed: the line where the parser stopped
// (0 when the fault is not at a place, such as an empty document or an
// unknown encoding) and what was wrong, in expat's words or the bound that
// was passed.
struct ParseFailure {
    long line = 0;
    std::string message;
};

// Bounds a document's content: an element has at most this many elements
// around it, and a name (of an element, an attribute, an entity, a
// processing instruction's target), an attribute value or a CDATA section
// is at most this long in UTF-8 bytes. Deeper or longer is not well-formed
// for the readers.
inline constexpr std::size_t kMaxElementDepth = 256;
inline constexpr std::size_t kMaxNameLength = 50000;
inline constexpr std::size_t kMaxValueLength = 10000000;
// The most entities a document may declare: an entity reference inside an
// entity is expanded inside the expansion of that one, so this bounds how
// deep expansions nest.
inline constexpr std::size_t kMaxEntityDeclarations = 1000;

// Parses a whole document held in memory into its root element. The encoding
// is found from the byte-order mark or the declaration: UTF-8, UTF-16,
// ISO-8859-1 and US-ASCII are read directly, any other encoding the C
// library can convert is converted to UTF-8 first. Nothing is fetched from
// the network and no external entity or DTD is ever loaded (a reference to an
// external entity stands for nothing); the expansion of internal entities is
// bounded by the size of the document. Nothing when the bytes are not a
// well-formed document or go past a bound; `failure`, when given, then says
// why. Reports nothing anywhere; safe to call from several threads at once.
std::optional<Node> parseXmlDocument(const std::uint8_t* data, std::size_t size, ParseFailure* failure = nullptr);

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
