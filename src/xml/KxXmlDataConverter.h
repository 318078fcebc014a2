// SPDX-License-Identifier: Apache-2.0
// Conversion between XML documents and the dictionary tree.
//
// Two pairs of conversions with different reading and writing rules:
//  - the NS pair (copyXMLDataToDictionaryNS / copyDictionaryToXmlDataNS), used
//    by the program for every file it reads and writes: pretty-printed output,
//    an element's whole string value, empty elements as empty strings;
//  - the CF pair (copyXMLDataToDictionaryCF / copyDictionaryToXmlDataCF), which
//    nothing in the program calls: compact output, a "file:///" URL reader,
//    an element's first child as its value, empty elements as dictionaries.
//
// Parsing never touches the network and never loads external entities or
// DTDs. The converter keeps no state between calls and is safe to use from
// several threads at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/Bytes.h"
#include "xml/Value.h"

namespace zelvik {

class KxXmlDataConverter {
public:
    KxXmlDataConverter();
    ~KxXmlDataConverter() = default;
    KxXmlDataConverter(const KxXmlDataConverter&) = delete;
    KxXmlDataConverter& operator=(const KxXmlDataConverter&) = delete;

    // The bytes of an XML document as {root element name -> root's value};
    // nothing when the bytes are not a well-formed document.
    std::optional<Dictionary> copyXMLDataToDictionaryNS(const Bytes& data) const;

    // The XML document at a path, read through a "file:///" URL made from it.
    std::optional<Dictionary> copyXMLDataToDictionaryCF(const std::string& path) const;

    // Whether the writers can carry a string as an element's text: valid
    // UTF-8 of characters XML 1.0 allows. A dictionary whose every string
    // passes (under the names the program writes) always converts.
    static bool isWritableText(std::string_view text);

    // The pretty-printed UTF-8 document for a dictionary under a root element
    // name; nothing when no well-formed document can be made of it.
    std::optional<Bytes> copyDictionaryToXmlDataNS(const Dictionary& dictionary, const std::string& rootName) const;
    std::optional<Bytes> copyXMLWithPropertyList(const Dictionary& dictionary, const std::string& rootName) const;

    // The compact document for a dictionary under a root element name. With
    // no dictionary or no root name the document is the declaration alone.
    std::optional<Bytes> copyDictionaryToXmlDataCF(const Dictionary* dictionary, const std::string* root) const;
};

}  // namespace zelvik
