// SPDX-License-Identifier: Apache-2.0
// The pair of conversions the program uses for its command, status and
// printer list files. The exact pretty-printed form of the files the program
// writes is pinned by the end-to-end tests; here are the rules behind it.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "xml/KxXmlDataConverter.h"
#include "xml/XmlTestSupport.h"

namespace zelvik {
namespace {

using test::bytesOf;
using test::dict;
using test::textOf;

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

class NSConversion : public ::testing::Test {
protected:
    std::optional<Dictionary> read(std::string_view xml) const {
        return converter.copyXMLDataToDictionaryNS(bytesOf(xml));
    }
    std::string write(const Dictionary& d, const std::string& root = "r") const {
        const std::optional<Bytes> bytes = converter.copyDictionaryToXmlDataNS(d, root);
        return bytes ? textOf(*bytes) : std::string("<nothing>");
    }
    // The value of a document's root element, which must be `r`.
    Value root(std::string_view xml) const {
        const std::optional<Dictionary> d = read(xml);
        if (!d || d->size() != 1 || !d->find("r")) return Value("<no single root r>");
        return d->valueAt(0);
    }

    KxXmlDataConverter converter;
};

TEST_F(NSConversion, WriterRulesAndRefusals) {
    const Dictionary d = dict({{"empty", Dictionary()},
                               {"runs", Array{"a", Array{"b", Array{}}, "c"}},
                               {"none", Array{}},
                               {"count", std::int64_t{-9000000000}},
                               {"blank", ""}});
    EXPECT_EQ(write(d), std::string(kDeclaration) +
                            "<r>\n    <empty></empty>\n    <runs>a</runs>\n    <runs>b</runs>\n    <runs>c</runs>\n"
                            "    <count>-9000000000</count>\n    <blank></blank>\n</r>\n");
    // Nothing rather than a malformed document.
    for (const Dictionary& d : {dict({{"t", "bad \xFF byte"}}), dict({{"t", "control \x01 char"}}),
                                dict({{"t", "surrogate \xED\xA0\x80"}}), dict({{"two words", "x"}}),
                                dict({{"1st", "x"}}), dict({{"p:x", "x"}}), dict({{"deep", dict({{"a<b", "x"}})}})}) {
        EXPECT_EQ(write(d), "<nothing>");
    }
    EXPECT_EQ(write(Dictionary(), ""), "<nothing>");
}

TEST_F(NSConversion, TextWithMarkupAndLineBreaksReadsBackUnchanged) {
    for (const std::string text : {"a & b < c > d", "]]>", "&amp; is not decoded twice", "line\r\nbreaks\rand\ttabs\n",
                                   "  padded  ", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x96\xA8"}) {
        const std::string xml = write(dict({{"t", text}}));
        EXPECT_EQ(read(xml), dict({{"r", dict({{"t", text}})}})) << xml;
    }
}

TEST_F(NSConversion, ReadingRules) {
    const struct {
        std::string xml;
        Value expected;
    } cases[] = {
        // Whatever comes before and after the root is passed over.
        {"<?xml version=\"1.0\"?>\n<!-- note --><?front-end v=2?>\n<r><a>1</a></r>\n<!-- end -->\n",
         dict({{"a", "1"}})},
        // Repeated names become arrays in document order, even when apart.
        {"<r><a>1</a><b>x</b><a>2</a><a><c>3</c></a></r>",
         dict({{"a", Array{"1", "2", dict({{"c", "3"}})}}, {"b", "x"}})},
        // A processing instruction's target takes its place in the order of names.
        {"<r><?b data?><a>1</a><b>2</b></r>", dict({{"b", "2"}, {"a", "1"}})},
        // Text beside elements is dropped; text around comments and PIs is joined.
        {"<r>lost<a>1</a>lost too</r>", dict({{"a", "1"}})},
        {"<r>one<!-- c -->two<?p x?>three</r>", "onetwothree"},
        {"<r>&lt;&amp;&gt;&quot;&apos;&#65;&#x263A;<![CDATA[<raw & text>]]></r>", "<&>\"'A\xE2\x98\xBA<raw & text>"},
        {"<!DOCTYPE r [<!ENTITY who \"world\"><!ENTITY part \"<b>&who;</b>\">]><r><a>hello &who;!</a>&part;</r>",
         dict({{"a", "hello world!"}, {"b", "world"}})},
        {"<r a=\"1\"><b c=\"2\">x</b><d e=\"3\"/></r>", dict({{"b", "x"}, {"d", ""}})},
        {"<r><a>  spaced  </a><b> \n\t</b></r>", dict({{"a", "  spaced  "}, {"b", " \n\t"}})},
        {"<r><a/><b></b><c><!-- only a comment --></c></r>", dict({{"a", ""}, {"b", ""}, {"c", ""}})},
    };
    for (const auto& c : cases) EXPECT_EQ(root(c.xml), c.expected) << c.xml;

    // UTF-16LE behind its byte-order mark.
    Bytes utf16{0xFF, 0xFE};
    for (unsigned char latin1 : std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?><r>caf\xE9</r>")) {
        utf16.insert(utf16.end(), {latin1, 0});
    }
    EXPECT_EQ(converter.copyXMLDataToDictionaryNS(utf16), dict({{"r", "caf\xC3\xA9"}}));
}

// What the reader takes beyond the mapping: the encodings a byte-order mark
// or declaration names, the end of a document at a NUL, and its bounds.
TEST_F(NSConversion, EncodingsBoundsAndTheEndOfADocument) {
    using namespace std::string_literals;
    const auto utf16le = [](std::string_view ascii, std::initializer_list<std::uint8_t> more = {}) {
        Bytes bytes{0xFF, 0xFE};
        for (char c : ascii) bytes.insert(bytes.end(), {static_cast<std::uint8_t>(c), 0});
        bytes.insert(bytes.end(), more);
        return bytes;
    };
    const auto nested = [](std::size_t depth) {
        std::string xml;
        for (std::size_t i = 0; i < depth; ++i) xml += "<a>";
        for (std::size_t i = 0; i < depth; ++i) xml += "</a>";
        return bytesOf(xml);
    };
    const auto nestedValue = [](std::size_t depth) {
        Value value("");
        for (std::size_t i = 1; i < depth; ++i) value = Value(dict({{"a", value}}));
        return dict({{"a", value}});
    };
    const auto entities = [](std::size_t count) {
        std::string xml = "<!DOCTYPE r [";
        for (std::size_t i = 0; i < count; ++i) xml += "<!ENTITY e" + std::to_string(i) + " \"x\">";
        return bytesOf(xml + "]><r>&e0;</r>");
    };
    const std::string name(50000, 'n');
    const Dictionary x = dict({{"r", "x"}});
    const struct {
        Bytes xml;
        std::optional<Dictionary> expected;
    } cases[] = {
        // Encodings the C library converts; the byte-order mark wins over
        // the declaration.
        {bytesOf("<?xml version=\"1.0\" encoding=\"windows-1252\"?><r>\x80</r>"), dict({{"r", "\xE2\x82\xAC"}})},
        {bytesOf("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><r>\x93\xFA</r>"), dict({{"r", "\xE6\x97\xA5"}})},
        {bytesOf("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\xC3\xA9</r>"),
         dict({{"r", "\xC3\xA9"}})},
        {utf16le("<?xml version=\"1.0\" encoding=\"UTF-8\"?><r>x</r>"), x},
        {bytesOf("<?xml version=\"1.1\"?><r>x</r>"), x},
        {bytesOf("<?xml version=\"2.0\"?><r>x</r>"), std::nullopt},
        // A surrogate without its other half.
        {utf16le("<r>", {0x3D, 0xD8, 'x', 0, '<', 0, '/', 0, 'r', 0, '>', 0}), std::nullopt},
        // A NUL after the root element ends the document.
        {bytesOf("<r>x</r>\n\0<junk"s), x},
        {utf16le("<r>x</r>", {0, 0, 0xFF}), x},
        {bytesOf("<r>x</r>junk\0"s), std::nullopt},
        {bytesOf("<r>x\0</r>"s), std::nullopt},
        // 256 elements around the innermost at most, names of 50 000 bytes,
        // 1 000 entities.
        {nested(257), nestedValue(257)},
        {nested(258), std::nullopt},
        {bytesOf("<r><" + name + ">x</" + name + "></r>"), dict({{"r", dict({{name, "x"}})}})},
        {bytesOf("<r><" + name + "n>x</" + name + "n></r>"), std::nullopt},
        {entities(1000), x},
        {entities(1001), std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(converter.copyXMLDataToDictionaryNS(c.xml), c.expected) << textOf(c.xml).substr(0, 80);
    }
}

TEST_F(NSConversion, MalformedInputGivesNothingAndPrintsNothing) {
    std::string bomb = "<!DOCTYPE r [<!ENTITY e0 \"<x>0123456789</x>\">";
    for (int i = 1; i <= 8; ++i) {
        bomb += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) bomb += "&e" + std::to_string(i - 1) + ";";
        bomb += "\">";
    }
    bomb += "]><r>&e8;</r>";
    ::testing::internal::CaptureStderr();
    for (const std::string& xml :
         {std::string(), std::string("   "), std::string("<a><b>0</b>"), std::string("<a><b></a></b>"),
          std::string("<a>1</a><b>2</b>"), std::string("<a>bad \xFF byte</a>"), std::string("<a>&undeclared;</a>"),
          std::string("<?xml version=\"1.0\" encoding=\"no-such-charset\"?><a/>"),
          // Conversion errors are reported outside the parser context.
          std::string("<?xml version=\"1.0\" encoding=\"EUC-JP\"?><a>\x8E\xFF\xFF</a>"), bomb}) {
        EXPECT_FALSE(read(xml)) << xml.substr(0, 80);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(NSConversion, TwoThreadsConvertAtOnce) {
    const Dictionary d = dict({{"deviceInformation", Array{dict({{"a", "1"}}), dict({{"a", "2"}})}}});
    std::vector<int> good(2, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const std::optional<Bytes> bytes = converter.copyDictionaryToXmlDataNS(d, "r");
                good[t] += bytes && converter.copyXMLDataToDictionaryNS(*bytes) == dict({{"r", d}}) &&
                           !read("<broken>");
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(good, (std::vector<int>{200, 200}));
}

}  // namespace
}  // namespace zelvik
