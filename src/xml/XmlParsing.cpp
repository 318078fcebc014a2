// SPDX-License-Identifier: Apache-2.0
#include "xml/XmlParsing.h"

#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <mutex>

namespace zelvik::xmlparsing {

namespace {

// Parse options: no network access, and nothing that substitutes entities or
// loads a DTD (which would read files the document points to). Blank text is
// kept: the readers decide themselves what white space means.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Internal entities nest only as deep as libxml2 allows; this guards our own
// recursion should that ever change.
constexpr int kMaxEntityDepth = 64;

// Work allowed per byte of input, and a floor for small documents. A plain
// document costs about one unit per byte and per node.
constexpr std::size_t kBudgetPerByte = 16;
constexpr std::size_t kBudgetFloor = std::size_t{1} << 20;

void ignoreStructuredError(void*, xmlErrorPtr) {}

// Keeps the first error of a parse for a caller that asked why it failed
// (the context's _private points to its ParseFailure).
void recordFirstError(void* context, xmlErrorPtr error) {
    auto* failure = static_cast<ParseFailure*>(static_cast<xmlParserCtxt*>(context)->_private);
    if (failure == nullptr || error == nullptr || error->level < XML_ERR_ERROR || !failure->message.empty()) return;
    std::string message = error->message != nullptr ? error->message : "not well-formed XML";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    *failure = {error->line, message};
}
void ignoreGenericError(void*, const char*, ...) {}
xmlParserInputPtr refuseEntity(void*, const xmlChar*, const xmlChar*) { return nullptr; }
void ignoreExternalSubset(void*, const xmlChar*, const xmlChar*, const xmlChar*) {}

void initOnce() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// libxml2 sends some reports (encoding conversion, I/O) to its per-thread
// default handlers instead of the parser context's; those would print to
// stderr. Silence them for this thread while a parse runs.
class QuietThreadErrors {
public:
    QuietThreadErrors()
        : mStructured(xmlStructuredError),
          mStructuredContext(xmlStructuredErrorContext),
          mGeneric(xmlGenericError),
          mGenericContext(xmlGenericErrorContext) {
        xmlSetStructuredErrorFunc(nullptr, ignoreStructuredError);
        xmlSetGenericErrorFunc(nullptr, ignoreGenericError);
    }
    ~QuietThreadErrors() {
        xmlSetStructuredErrorFunc(mStructuredContext, mStructured);
        xmlSetGenericErrorFunc(mGenericContext, mGeneric);
    }
    QuietThreadErrors(const QuietThreadErrors&) = delete;
    QuietThreadErrors& operator=(const QuietThreadErrors&) = delete;

private:
    xmlStructuredErrorFunc mStructured;
    void* mStructuredContext;
    xmlGenericErrorFunc mGeneric;
    void* mGenericContext;
};

struct ParserCtxtDeleter {
    void operator()(xmlParserCtxt* ctxt) const noexcept { xmlFreeParserCtxt(ctxt); }
};

bool isTextLike(const xmlNode* node) { return node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE; }

bool appendExpanded(const xmlNode* first, std::vector<const xmlNode*>& out, ExpansionBudget& budget, int depth) {
    for (const xmlNode* child = first; child != nullptr; child = child->next) {
        if (child->type == XML_ENTITY_REF_NODE) {
            if (!budget.charge(1)) return false;
            const xmlEntity* entity = xmlGetDocEntity(child->doc, child->name);
            if (entity == nullptr || entity->etype != XML_INTERNAL_GENERAL_ENTITY) continue;
            if (depth >= kMaxEntityDepth) return false;
            if (!appendExpanded(entity->children, out, budget, depth + 1)) return false;
            continue;
        }
        std::size_t cost = 1;
        if (isTextLike(child) && child->content != nullptr) {
            cost += static_cast<std::size_t>(xmlStrlen(child->content));
        }
        if (!budget.charge(cost)) return false;
        out.push_back(child);
    }
    return true;
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

void XmlDocDeleter::operator()(xmlDoc* doc) const noexcept { xmlFreeDoc(doc); }

XmlDocPtr parseXmlDocument(const std::uint8_t* data, std::size_t size, ParseFailure* failure) {
    if (data == nullptr || size == 0 || size > static_cast<std::size_t>(INT_MAX)) {
        if (failure != nullptr) *failure = {0, size == 0 ? "the document is empty" : "the document is too large"};
        return nullptr;
    }
    initOnce();
    QuietThreadErrors quiet;

    std::unique_ptr<xmlParserCtxt, ParserCtxtDeleter> ctxt(xmlNewParserCtxt());
    if (!ctxt || ctxt->sax == nullptr) return nullptr;
    // The context's own handler table: reports go nowhere, and should any
    // path try to resolve an external entity or DTD, it gets nothing.
    ctxt->sax->serror = ignoreStructuredError;
    if (failure != nullptr) {
        *failure = {};
        ctxt->_private = failure;
        ctxt->sax->serror = recordFirstError;
    }
    ctxt->sax->resolveEntity = refuseEntity;
    ctxt->sax->externalSubset = ignoreExternalSubset;

    xmlDoc* doc = xmlCtxtReadMemory(ctxt.get(), reinterpret_cast<const char*>(data), static_cast<int>(size), nullptr,
                                    nullptr, kParseOptions);
    if (doc != nullptr && ctxt->wellFormed) return XmlDocPtr(doc);
    if (doc != nullptr) xmlFreeDoc(doc);
    if (failure != nullptr && failure->message.empty()) *failure = {0, "not well-formed XML"};
    return nullptr;
}

ExpansionBudget::ExpansionBudget(std::size_t documentSize)
    : mRemaining(documentSize > (SIZE_MAX - kBudgetFloor) / kBudgetPerByte
                     ? SIZE_MAX
                     : documentSize * kBudgetPerByte + kBudgetFloor) {}

bool ExpansionBudget::charge(std::size_t units) {
    if (mExhausted || units > mRemaining) {
        mExhausted = true;
        return false;
    }
    mRemaining -= units;
    return true;
}

bool appendExpandedChildren(const xmlNode* node, std::vector<const xmlNode*>& out, ExpansionBudget& budget) {
    if (node == nullptr) return true;
    return appendExpanded(node->children, out, budget, 0);
}

bool appendExpandedValue(const xmlAttr* attribute, std::vector<const xmlNode*>& out, ExpansionBudget& budget) {
    if (attribute == nullptr) return true;
    return appendExpanded(attribute->children, out, budget, 0);
}

std::string qualifiedName(const xmlNode* element) {
    std::string name;
    if (element->ns != nullptr && element->ns->prefix != nullptr) {
        name += reinterpret_cast<const char*>(element->ns->prefix);
        name += ':';
    }
    if (element->name != nullptr) name += reinterpret_cast<const char*>(element->name);
    return name;
}

std::string_view nodeContent(const xmlNode* node) {
    const xmlChar* text = nullptr;
    switch (node->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE: text = node->content; break;
        case XML_PI_NODE: text = node->name; break;
        default: break;
    }
    return text == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(text));
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
