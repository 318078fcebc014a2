// SPDX-License-Identifier: Apache-2.0
#include "xml/XmlParsing.h"

// The library is built with DTD support (internal entities, and the bounds
// on their expansion below); its header declares those calls only when
// told so.
#define XML_DTD 1
#include <expat.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <iterator>
#include <memory>

namespace zelvik::xmlparsing {

namespace {

// Work allowed per byte of input, and a floor for small documents. A plain
// document costs about one unit per byte and per node; only the expansion
// of internal entities can make it cost more.
constexpr std::size_t kBudgetPerByte = 16;
constexpr std::size_t kBudgetFloor = std::size_t{1} << 20;
// The parser's own count of what entities expand to, attribute values and
// the document type declaration included: once the document and its
// expansions come to this much, they may be at most kBudgetPerByte times the
// document's own bytes. No document of the program's has an entity.
constexpr unsigned long long kExpansionThreshold = 64ULL * 1024;

// The encodings the parser reads by itself, named as a declaration may name
// them (letter case aside).
constexpr std::string_view kParserEncodings[] = {"UTF-8", "UTF-16", "UTF-16BE", "UTF-16LE", "ISO-8859-1", "US-ASCII"};

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// What a byte-order mark at the start says the encoding is.
const XML_Char* encodingOfByteOrderMark(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") return "UTF-8";
    if (text.substr(0, 2) == "\xFE\xFF" || text.substr(0, 2) == "\xFF\xFE") return "UTF-16";
    return nullptr;
}

enum class ByteOrder { none, littleEndian, bigEndian };

// Whether a document is in UTF-16, and in which byte order: as its byte-order
// mark says, or without one, as the parser finds it (a document starts with
// an ASCII character, whose other byte is 0).
ByteOrder utf16ByteOrder(std::string_view text) {
    if (text.size() < 2 || text.substr(0, 3) == "\xEF\xBB\xBF") return ByteOrder::none;
    if (text.substr(0, 2) == "\xFE\xFF") return ByteOrder::bigEndian;
    if (text.substr(0, 2) == "\xFF\xFE") return ByteOrder::littleEndian;
    if (text[0] == 0) return ByteOrder::bigEndian;
    if (text[1] == 0) return ByteOrder::littleEndian;
    return ByteOrder::none;
}

// Whether the UTF-16 code units of a document pair their surrogates as they
// must, up to a NUL character (the parser takes any unit after a high
// surrogate for its low half).
bool surrogatesPair(std::string_view text, ByteOrder order) {
    bool lowDue = false;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        const auto first = static_cast<unsigned char>(text[i]);
        const auto second = static_cast<unsigned char>(text[i + 1]);
        const unsigned unit = order == ByteOrder::bigEndian ? (first << 8U) | second : (second << 8U) | first;
        if (unit == 0) break;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (low != lowDue) return false;
        lowDue = unit >= 0xD800 && unit <= 0xDBFF;
    }
    return !lowDue;
}

bool isDeclarationSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The encoding named in the declaration of a document that begins with one
// in ASCII-compatible bytes (no byte-order mark); nothing otherwise. A
// declaration this does not understand goes to the parser as it is, which
// then refuses what it cannot read.
std::optional<std::string> declaredEncoding(std::string_view text) {
    if (text.size() < 6 || text.substr(0, 5) != "<?xml" || !isDeclarationSpace(text[5])) return std::nullopt;
    const std::size_t end = text.find("?>");
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view declaration = text.substr(0, end);
    std::size_t at = declaration.find("encoding");
    if (at == std::string_view::npos || !isDeclarationSpace(declaration[at - 1])) return std::nullopt;
    at += 8;
    while (at < declaration.size() && isDeclarationSpace(declaration[at])) ++at;
    if (at >= declaration.size() || declaration[at] != '=') return std::nullopt;
    ++at;
    while (at < declaration.size() && isDeclarationSpace(declaration[at])) ++at;
    if (at >= declaration.size() || (declaration[at] != '"' && declaration[at] != '\'')) return std::nullopt;
    const char quote = declaration[at++];
    const std::size_t close = declaration.find(quote, at);
    if (close == std::string_view::npos || close == at) return std::nullopt;
    const std::string_view name = declaration.substr(at, close - at);
    for (char c : name) {
        const bool letterOrDigit = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && c != '.' && c != '_' && c != '-') return std::nullopt;
    }
    return std::string(name);
}

class Converter {
public:
    explicit Converter(const std::string& from) : mHandle(::iconv_open("UTF-8", from.c_str())) {}
    ~Converter() {
        if (isOpen()) ::iconv_close(mHandle);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // iconv_open's failure value is the handle -1.
    bool isOpen() const { return reinterpret_cast<std::intptr_t>(mHandle) != -1; }
    iconv_t get() const { return mHandle; }

private:
    iconv_t mHandle;
};

// The document in UTF-8, converted from an encoding the C library knows;
// nothing, with the reason, when it does not know it or the bytes are not
// text in it.
std::optional<std::string> convertToUtf8(std::string_view text, const std::string& encoding, ParseFailure& failure) {
    const Converter converter(encoding);
    if (!converter.isOpen()) {
        failure = {0, "an encoding this system cannot read: '" + encoding + "'"};
        return std::nullopt;
    }
    std::string input(text);
    std::string output(text.size() * 3 + 16, '\0');
    char* in = input.data();
    std::size_t inLeft = input.size();
    std::size_t produced = 0;
    for (bool flushing = false;;) {
        char* out = output.data() + produced;
        std::size_t outLeft = output.size() - produced;
        const std::size_t result = flushing ? ::iconv(converter.get(), nullptr, nullptr, &out, &outLeft)
                                            : ::iconv(converter.get(), &in, &inLeft, &out, &outLeft);
        produced = output.size() - outLeft;
        if (result != static_cast<std::size_t>(-1)) {
            if (flushing) break;
            flushing = true;  // the end of a stateful encoding may still write
            continue;
        }
        if (errno != E2BIG) {  // not text in that encoding, or cut short
            failure = {0, "not text in the encoding it declares, '" + encoding + "'"};
            return std::nullopt;
        }
        output.resize(output.size() * 2);
    }
    output.resize(produced);
    return output;
}

class ExpansionBudget {
public:
    explicit ExpansionBudget(std::size_t documentSize)
        : mRemaining(documentSize > (SIZE_MAX - kBudgetFloor) / kBudgetPerByte
                         ? SIZE_MAX
                         : documentSize * kBudgetPerByte + kBudgetFloor) {}
    // False once the budget is used up.
    bool charge(std::size_t units) {
        if (units > mRemaining) return false;
        mRemaining -= units;
        return true;
    }

private:
    std::size_t mRemaining;
};

// The parser's handlers build the tree. A step past a bound stops the parse;
// the parser may still make a call or two after that, which change nothing.
class TreeBuilder {
public:
    TreeBuilder(XML_Parser parser, std::size_t documentSize) : mParser(parser), mBudget(documentSize) {
        mOpen.push_back(&mDocument);
    }

    // Whether the root element has ended, and the parse was not stopped.
    bool rootEnded() const { return mRootEnded && !mStopped; }

    // Why the builder stopped the parse: the bound that was passed, and
    // where; nothing when it did not stop it.
    const std::optional<ParseFailure>& stopped() const { return mStopReason; }

    // The root element, once the whole document has been parsed.
    std::optional<Node> root() {
        if (mStopped) return std::nullopt;
        for (Node& node : mDocument.children) {
            if (node.kind == NodeKind::element) return std::move(node);
        }
        return std::nullopt;
    }

    static void XMLCALL startElement(void* self, const XML_Char* name, const XML_Char** attributes) {
        if (auto* builder = running(self)) builder->onStartElement(name, attributes);
    }
    static void XMLCALL endElement(void* self, const XML_Char*) {
        auto* builder = running(self);
        if (builder == nullptr) return;
        builder->mOpen.pop_back();
        builder->mRootEnded = builder->atDocumentLevel();
    }
    static void XMLCALL characters(void* self, const XML_Char* text, int length) {
        if (auto* builder = running(self))
            builder->onCharacters(std::string_view(text, static_cast<std::size_t>(length)));
    }
    static void XMLCALL startCdata(void* self) {
        if (auto* builder = running(self)) builder->onStartCdata();
    }
    static void XMLCALL endCdata(void* self) {
        if (auto* builder = running(self)) builder->mInCdata = false;
    }
    static void XMLCALL comment(void* self, const XML_Char* text) {
        if (auto* builder = running(self)) builder->onLeaf(NodeKind::comment, {}, text);
    }
    static void XMLCALL processingInstruction(void* self, const XML_Char* target, const XML_Char* data) {
        auto* builder = running(self);
        if (builder && builder->fits(data, kMaxValueLength, "processing instruction"))
            builder->onLeaf(NodeKind::processingInstruction, target, {});
    }
    static void XMLCALL xmlDeclaration(void* self, const XML_Char* version, const XML_Char*, int) {
        // Version 1.0 or a later 1.x (read as 1.0), as the standard allows;
        // the parser itself takes any name. A text declaration has none.
        auto* builder = running(self);
        if (builder == nullptr || version == nullptr) return;
        const std::string_view number(version);
        if (number.substr(0, 2) != "1." || number.find_first_not_of("0123456789", 2) != std::string_view::npos)
            builder->stop("XML version '" + std::string(number) + "': only 1.0 and the other 1.x are read");
    }
    static void XMLCALL startDoctype(void* self, const XML_Char* name, const XML_Char*, const XML_Char*, int) {
        if (auto* builder = running(self)) builder->fits(name, kMaxNameLength, "name");
    }
    static void XMLCALL entityDeclaration(void* self, const XML_Char* name, int, const XML_Char*, int, const XML_Char*,
                                          const XML_Char*, const XML_Char*, const XML_Char*) {
        auto* builder = running(self);
        if (builder == nullptr) return;
        if (++builder->mEntityDeclarations > kMaxEntityDeclarations) {
            builder->stop("more than " + std::to_string(kMaxEntityDeclarations) + " entity declarations");
        }
        builder->fits(name, kMaxNameLength, "name");
    }

private:
    static TreeBuilder* running(void* self) {
        auto* builder = static_cast<TreeBuilder*>(self);
        return builder->mStopped ? nullptr : builder;
    }
    Node& current() { return *mOpen.back(); }
    bool atDocumentLevel() const { return mOpen.size() == 1; }

    long line() const { return static_cast<long>(XML_GetCurrentLineNumber(mParser)); }

    void stop(std::string reason) {
        if (!mStopped) {
            mStopReason = ParseFailure{line(), std::move(reason)};
            XML_StopParser(mParser, XML_FALSE);
        }
        mStopped = true;
    }
    bool charge(std::size_t units) {
        if (!mBudget.charge(units)) stop("entities expand beyond what the document's size allows");
        return !mStopped;
    }
    bool fits(std::string_view text, std::size_t limit, std::string_view what) {
        if (text.size() > limit) stop("a " + std::string(what) + " longer than " + std::to_string(limit) + " bytes");
        return !mStopped;
    }

    void onStartElement(const XML_Char* name, const XML_Char** attributes) {
        // The elements around this one: the open ones but the document.
        if (mOpen.size() - 1 > kMaxElementDepth) {
            stop("elements nested more than " + std::to_string(kMaxElementDepth + 1) + " deep");
        }
        if (!fits(name, kMaxNameLength, "name") || !charge(1)) return;
        Node element;
        element.name = name;
        element.line = line();
        // The attributes written on the tag come first, the defaults a
        // declaration adds after them; only the former are kept, all are
        // bounded.
        const auto written = static_cast<std::size_t>(std::max(XML_GetSpecifiedAttributeCount(mParser), 0));
        for (std::size_t i = 0; attributes[i] != nullptr; i += 2) {
            const std::string_view attributeName(attributes[i]);
            const std::string_view value(attributes[i + 1]);
            if (!fits(attributeName, kMaxNameLength, "name") || !fits(value, kMaxValueLength, "value")) return;
            if (i >= written) continue;
            if (!charge(attributeName.size() + value.size())) return;
            element.attributes.push_back(Attribute{std::string(attributeName), std::string(value)});
        }
        current().children.push_back(std::move(element));
        // The parent takes no other child while this one is open, so the
        // pointer stays valid until the element ends.
        mOpen.push_back(&current().children.back());
    }

    void onCharacters(std::string_view text) {
        if (atDocumentLevel()) return;
        std::vector<Node>& children = current().children;
        if (mInCdata) {
            // The section's node was made at its start.
            std::string& section = children.back().text;
            if (section.size() + text.size() > kMaxValueLength) {
                stop("a CDATA section longer than " + std::to_string(kMaxValueLength) + " bytes");
            }
            if (charge(text.size())) section.append(text);
            return;
        }
        const bool continues = !children.empty() && children.back().kind == NodeKind::text;
        if (!charge(text.size() + (continues ? 0 : 1))) return;
        if (!continues) children.push_back(leaf(NodeKind::text, {}, {}));
        children.back().text.append(text);
    }

    void onStartCdata() {
        if (atDocumentLevel() || !charge(1)) return;
        // Sections that follow one another directly make one node.
        std::vector<Node>& children = current().children;
        if (children.empty() || children.back().kind != NodeKind::cdataSection) {
            children.push_back(leaf(NodeKind::cdataSection, {}, {}));
        }
        mInCdata = true;
    }

    // A comment or processing instruction; those outside the root element
    // (and in the document type declaration) are no part of the tree.
    void onLeaf(NodeKind kind, std::string_view name, std::string_view text) {
        if (!fits(name, kMaxNameLength, "name") || !fits(text, kMaxValueLength, "comment") ||
            !charge(1 + name.size() + text.size()))
            return;
        if (!atDocumentLevel()) current().children.push_back(leaf(kind, name, text));
    }

    static Node leaf(NodeKind kind, std::string_view name, std::string_view text) {
        Node node;
        node.kind = kind;
        node.name = name;
        node.text = text;
        return node;
    }

    XML_Parser mParser;
    ExpansionBudget mBudget;
    Node mDocument;
    std::vector<Node*> mOpen;  // the open elements, the document first
    bool mInCdata = false;
    bool mRootEnded = false;
    bool mStopped = false;
    std::optional<ParseFailure> mStopReason;
    std::size_t mEntityDeclarations = 0;
};

struct ParserDeleter {
    void operator()(XML_ParserStruct* parser) const noexcept { XML_ParserFree(parser); }
};

std::optional<Node> parseWith(std::string_view text, const XML_Char* encoding, std::size_t documentSize,
                              ParseFailure& failure, bool cutAtNul = true) {
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        failure = {0, "the document is too large"};
        return std::nullopt;
    }
    const std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate(encoding));
    if (!parser) {
        failure = {0, "out of memory"};
        return std::nullopt;
    }
    XML_Parser p = parser.get();
    // Internal parameter entities are expanded. No external entity, external
    // parameter entity or external DTD is ever read: there is no handler that
    // could fetch one, and declarations after a reference to one that was
    // not read are passed over.
    XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_ALWAYS);
    XML_SetBillionLaughsAttackProtectionMaximumAmplification(p, static_cast<float>(kBudgetPerByte));
    XML_SetBillionLaughsAttackProtectionActivationThreshold(p, kExpansionThreshold);

    TreeBuilder builder(p, documentSize);
    XML_SetUserData(p, &builder);
    XML_SetElementHandler(p, TreeBuilder::startElement, TreeBuilder::endElement);
    XML_SetCharacterDataHandler(p, TreeBuilder::characters);
    XML_SetCdataSectionHandler(p, TreeBuilder::startCdata, TreeBuilder::endCdata);
    XML_SetCommentHandler(p, TreeBuilder::comment);
    XML_SetProcessingInstructionHandler(p, TreeBuilder::processingInstruction);
    XML_SetXmlDeclHandler(p, TreeBuilder::xmlDeclaration);
    XML_SetStartDoctypeDeclHandler(p, TreeBuilder::startDoctype);
    XML_SetEntityDeclHandler(p, TreeBuilder::entityDeclaration);
    if (XML_Parse(p, text.data(), static_cast<int>(text.size()), XML_TRUE) == XML_STATUS_OK) return builder.root();
    if (builder.stopped()) {
        failure = *builder.stopped();
    } else {
        const XML_LChar* message = XML_ErrorString(XML_GetErrorCode(p));
        failure = {static_cast<long>(XML_GetCurrentLineNumber(p)), message ? message : "not well-formed XML"};
    }
    // A NUL character after the root element ends the document (a front end
    // may write a C string's terminator): what comes before it must be a
    // document of its own, what follows it is not looked at.
    const XML_Index at = XML_GetCurrentByteIndex(p);
    const bool utf8 = encoding != nullptr && std::string_view(encoding) == "UTF-8";
    const std::size_t unit = !utf8 && utf16ByteOrder(text) != ByteOrder::none ? 2 : 1;
    if (!cutAtNul || !builder.rootEnded() || at < 0 || static_cast<std::size_t>(at) > text.size() - unit) {
        return std::nullopt;
    }
    const auto end = static_cast<std::size_t>(at);
    if (text.substr(end, unit).find_first_not_of('\0') != std::string_view::npos) return std::nullopt;
    return parseWith(text.substr(0, end), encoding, documentSize, failure, false);
}

// Decodes one UTF-8 sequence at text[i], advancing i; -1 when the bytes are
// not well-formed UTF-8 (overlong forms, surrogates and values past U+10FFFF
// included).
long decodeUtf8(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    std::size_t length;
    long cp;
    long minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        cp = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        cp = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        cp = lead & 0x07;
        minimum = 0x10000;
    } else {
        return -1;
    }
    if (text.size() - i < length) return -1;
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = byte(i + k);
        if ((next & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    i += length;
    return cp;
}

bool isXmlChar(long cp) {
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
           (cp >= 0x10000 && cp <= 0x10FFFF);
}

bool isNameStartChar(long cp) {
    return (cp >= 'A' && cp <= 'Z') || cp == '_' || (cp >= 'a' && cp <= 'z') || (cp >= 0xC0 && cp <= 0xD6) ||
           (cp >= 0xD8 && cp <= 0xF6) || (cp >= 0xF8 && cp <= 0x2FF) || (cp >= 0x370 && cp <= 0x37D) ||
           (cp >= 0x37F && cp <= 0x1FFF) || (cp >= 0x200C && cp <= 0x200D) || (cp >= 0x2070 && cp <= 0x218F) ||
           (cp >= 0x2C00 && cp <= 0x2FEF) || (cp >= 0x3001 && cp <= 0xD7FF) || (cp >= 0xF900 && cp <= 0xFDCF) ||
           (cp >= 0xFDF0 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0xEFFFF);
}

bool isNameChar(long cp) {
    return isNameStartChar(cp) || cp == '-' || cp == '.' || (cp >= '0' && cp <= '9') || cp == 0xB7 ||
           (cp >= 0x300 && cp <= 0x36F) || (cp >= 0x203F && cp <= 0x2040);
}

}  // namespace

std::optional<Node> parseXmlDocument(const std::uint8_t* data, std::size_t size, ParseFailure* failure) {
    ParseFailure unasked;
    ParseFailure& why = failure != nullptr ? *failure : unasked;
    why = {};
    if (data == nullptr || size == 0) {
        why = {0, "the document is empty"};
        return std::nullopt;
    }
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ByteOrder order = utf16ByteOrder(text);
    if (order != ByteOrder::none && !surrogatesPair(text, order)) {
        why = {0, "UTF-16 with a surrogate that lacks its other half"};
        return std::nullopt;
    }
    // A byte-order mark wins over what the declaration says.
    if (const XML_Char* marked = encodingOfByteOrderMark(text)) return parseWith(text, marked, size, why);
    const std::optional<std::string> encoding = declaredEncoding(text);
    const bool parserReadsIt = !encoding ||
                               std::any_of(std::begin(kParserEncodings), std::end(kParserEncodings),
                                           [&](std::string_view known) { return equalIgnoringCase(*encoding, known); });
    if (parserReadsIt) return parseWith(text, nullptr, size, why);
    // An encoding the parser does not read by itself: the document is read
    // in UTF-8, converted, and its declaration's name no longer counts.
    const std::optional<std::string> converted = convertToUtf8(text, *encoding, why);
    if (!converted) return std::nullopt;
    return parseWith(*converted, "UTF-8", size, why);
}

bool isUsableElementName(std::string_view name) {
    if (name.empty()) return false;
    std::size_t i = 0;
    bool first = true;
    while (i < name.size()) {
        const long cp = decodeUtf8(name, i);
        if (cp < 0) return false;
        if (first ? !isNameStartChar(cp) : !isNameChar(cp)) return false;
        first = false;
    }
    return true;
}

bool isWritableText(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const long cp = decodeUtf8(text, i);
        if (cp < 0 || !isXmlChar(cp)) return false;
    }
    return true;
}

bool appendEscapedText(std::string_view text, std::string& out) {
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t start = i;
        const long cp = decodeUtf8(text, i);
        if (cp < 0 || !isXmlChar(cp)) return false;
        switch (cp) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '\r': out += "&#13;"; break;
            default: out.append(text.substr(start, i - start)); break;
        }
    }
    return true;
}

}  // namespace zelvik::xmlparsing
