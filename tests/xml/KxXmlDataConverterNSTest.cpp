// The pair of conversions the program uses for its command, status and
// printer list files.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/TempDir.h"
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
    std::string write(const Dictionary& d, const std::string& root) const {
        const std::optional<Bytes> bytes = converter.copyDictionaryToXmlDataNS(d, root);
        return bytes ? textOf(*bytes) : std::string("<nothing>");
    }
    // The value of the root element of a document.
    Value rootValue(std::string_view xml) const {
        const std::optional<Dictionary> d = read(xml);
        if (!d || d->size() != 1) return Value("<no single root>");
        return d->valueAt(0);
    }

    KxXmlDataConverter converter;
};

Dictionary printer(const std::string& n) {
    return dict({{"modelName", "Model " + n}, {"serialNumber", "SN" + n},
                 {"deviceURI", "usb://Maker/Model " + n + "?serial=SN" + n}});
}

// --- The files the program writes -----------------------------------------

TEST_F(NSConversion, StatusFileHasExactlyTheFourLines) {
    const std::string expected = std::string(kDeclaration) +
                                 "<statusBody>\n    <errorCode>0</errorCode>\n</statusBody>\n";
    EXPECT_EQ(write(dict({{"errorCode", "0"}}), "statusBody"), expected);
    EXPECT_EQ(read(expected), dict({{"statusBody", dict({{"errorCode", "0"}})}}));
}

TEST_F(NSConversion, PrinterListWithNoneOneAndTwoPrinters) {
    const std::string none = write(dict({{"deviceInformation", Array{}}}), "printerListBody");
    EXPECT_EQ(none, std::string(kDeclaration) + "<printerListBody></printerListBody>\n");
    EXPECT_EQ(read(none), dict({{"printerListBody", ""}}));

    const std::string one = write(dict({{"deviceInformation", Array{printer("1")}}}), "printerListBody");
    EXPECT_EQ(read(one), dict({{"printerListBody", dict({{"deviceInformation", printer("1")}})}}));

    const std::string two =
        write(dict({{"deviceInformation", Array{printer("1"), printer("2")}}}), "printerListBody");
    EXPECT_EQ(two, std::string(kDeclaration) +
                       "<printerListBody>\n"
                       "    <deviceInformation>\n"
                       "        <modelName>Model 1</modelName>\n"
                       "        <serialNumber>SN1</serialNumber>\n"
                       "        <deviceURI>usb://Maker/Model 1?serial=SN1</deviceURI>\n"
                       "    </deviceInformation>\n"
                       "    <deviceInformation>\n"
                       "        <modelName>Model 2</modelName>\n"
                       "        <serialNumber>SN2</serialNumber>\n"
                       "        <deviceURI>usb://Maker/Model 2?serial=SN2</deviceURI>\n"
                       "    </deviceInformation>\n"
                       "</printerListBody>\n");
    EXPECT_EQ(read(two), dict({{"printerListBody",
                                dict({{"deviceInformation", Array{printer("1"), printer("2")}}})}}));
}

TEST_F(NSConversion, WritesEmptyDictionariesNestedArraysAndNumbers) {
    const Dictionary d = dict({{"empty", Dictionary()},
                               {"runs", Array{"a", Array{"b", Array{}}, "c"}},
                               {"none", Array{}},
                               {"count", std::int64_t{-9000000000}},
                               {"blank", ""}});
    EXPECT_EQ(write(d, "r"), std::string(kDeclaration) +
                                 "<r>\n"
                                 "    <empty></empty>\n"
                                 "    <runs>a</runs>\n"
                                 "    <runs>b</runs>\n"
                                 "    <runs>c</runs>\n"
                                 "    <count>-9000000000</count>\n"
                                 "    <blank></blank>\n"
                                 "</r>\n");
    EXPECT_EQ(write(Dictionary(), "r"), std::string(kDeclaration) + "<r></r>\n");
}

TEST_F(NSConversion, TextWithMarkupAndLineBreaksReadsBackUnchanged) {
    for (const std::string text : {"a & b < c > d", "]]>", "&amp; is not decoded twice",
                                   "line\r\nbreaks\rand\ttabs\n", "  padded  ", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x96\xA8"}) {
        const std::string xml = write(dict({{"t", text}}), "r");
        EXPECT_EQ(read(xml), dict({{"r", dict({{"t", text}})}})) << xml;
    }
}

TEST_F(NSConversion, GivesNothingRatherThanAMalformedDocument) {
    EXPECT_EQ(write(dict({{"t", "bad \xFF byte"}}), "r"), "<nothing>");
    EXPECT_EQ(write(dict({{"t", "control \x01 char"}}), "r"), "<nothing>");
    EXPECT_EQ(write(dict({{"t", "surrogate \xED\xA0\x80"}}), "r"), "<nothing>");
    EXPECT_EQ(write(dict({{"two words", "x"}}), "r"), "<nothing>");
    EXPECT_EQ(write(dict({{"1st", "x"}}), "r"), "<nothing>");
    EXPECT_EQ(write(dict({{"p:x", "x"}}), "r"), "<nothing>");
    EXPECT_EQ(write(dict({{"deep", dict({{"a<b", "x"}})}}), "r"), "<nothing>");
    EXPECT_EQ(write(Dictionary(), ""), "<nothing>");
    // A key whose empty array writes nothing is never used as a name.
    EXPECT_NE(write(dict({{"not a name", Array{}}}), "r"), "<nothing>");
}

// --- Reading ----------------------------------------------------------------

TEST_F(NSConversion, CommandFileReadsAsItsRootWhateverComesBefore) {
    const Dictionary expected =
        dict({{"commandBody", dict({{"command", "processCancel"}, {"statusFilePath", "/tmp/s"}})}});
    const std::string body =
        "<commandBody><command>processCancel</command><statusFilePath>/tmp/s</statusFilePath></commandBody>";
    EXPECT_EQ(read(body), expected);
    EXPECT_EQ(read("<?xml version=\"1.0\"?>\n<!-- note --><?front-end v=2?>\n" + body + "\n<!-- end -->\n"),
              expected);
}

TEST_F(NSConversion, RepeatedNamesBecomeArraysInDocumentOrder) {
    EXPECT_EQ(rootValue("<r><a>1</a><b>x</b><a>2</a><a><c>3</c></a></r>"),
              Value(dict({{"a", Array{"1", "2", dict({{"c", "3"}})}}, {"b", "x"}})));
    // A processing instruction's target takes its place in the order of names.
    EXPECT_EQ(rootValue("<r><?b data?><a>1</a><b>2</b></r>"), Value(dict({{"b", "2"}, {"a", "1"}})));
}

TEST_F(NSConversion, ElementContentRules) {
    EXPECT_EQ(rootValue("<r>lost<a>1</a>lost too</r>"), Value(dict({{"a", "1"}})));
    EXPECT_EQ(rootValue("<r>one<!-- c -->two<?p x?>three</r>"), Value("onetwothree"));
    EXPECT_EQ(rootValue("<r>&lt;&amp;&gt;&quot;&apos;&#65;&#x263A;<![CDATA[<raw & text>]]></r>"),
              Value("<&>\"'A\xE2\x98\xBA<raw & text>"));
    EXPECT_EQ(rootValue("<!DOCTYPE r [<!ENTITY who \"world\"><!ENTITY part \"<b>&who;</b>\">]>"
                        "<r><a>hello &who;!</a>&part;</r>"),
              Value(dict({{"a", "hello world!"}, {"b", "world"}})));
    EXPECT_EQ(rootValue("<r a=\"1\"><b c=\"2\">x</b><d e=\"3\"/></r>"), Value(dict({{"b", "x"}, {"d", ""}})));
    EXPECT_EQ(rootValue("<r><a>  spaced  </a><b> \n\t</b></r>"), Value(dict({{"a", "  spaced  "}, {"b", " \n\t"}})));
    EXPECT_EQ(rootValue("<r><a/><b></b><c><!-- only a comment --></c></r>"),
              Value(dict({{"a", ""}, {"b", ""}, {"c", ""}})));
}

TEST_F(NSConversion, ReadsUtf16DocumentsWithByteOrderMark) {
    const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-16\"?><r><a>caf\xC3\xA9</a></r>";
    // UTF-16LE of the (Latin-1 range) text, behind its byte-order mark.
    Bytes utf16{0xFF, 0xFE};
    for (std::size_t i = 0; i < xml.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(xml[i]);
        if (c == 0xC3) c = static_cast<unsigned char>(0xC0 | (static_cast<unsigned char>(xml[++i]) & 0x3F));
        utf16.push_back(c);
        utf16.push_back(0);
    }
    EXPECT_EQ(converter.copyXMLDataToDictionaryNS(utf16), dict({{"r", dict({{"a", "caf\xC3\xA9"}})}}));
}

TEST_F(NSConversion, MalformedInputGivesNothingAndPrintsNothing) {
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(converter.copyXMLDataToDictionaryNS(Bytes()));
    EXPECT_FALSE(read("   "));
    EXPECT_FALSE(read("<statusBody><errorCode>0</errorCode>"));
    EXPECT_FALSE(read("<a><b></a></b>"));
    EXPECT_FALSE(read("<a>1</a><b>2</b>"));
    EXPECT_FALSE(read("<a>bad \xFF byte</a>"));
    EXPECT_FALSE(read("<?xml version=\"1.0\" encoding=\"no-such-charset\"?><a/>"));
    EXPECT_FALSE(read("<a>&undeclared;</a>"));
    // Conversion errors are reported outside the parser context.
    EXPECT_FALSE(read("<?xml version=\"1.0\" encoding=\"EUC-JP\"?><a>\x8E\xFF\xFF</a>"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(NSConversion, NeverLoadsExternalEntitiesOrDtds) {
    test::TempDir dir;
    const std::string secret = dir.file("secret");
    test::writeFile(secret, "TOP-SECRET");
    test::writeFile(dir.file("evil.dtd"), "<!ENTITY leak \"TOP-SECRET\">");
    const std::string uri = "file://" + secret;

    for (const std::string& xml : std::vector<std::string>{
             "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + uri + "\">]><r><a>&x;</a></r>",
             "<!DOCTYPE r [<!ENTITY % x SYSTEM \"" + uri + "\"> %x;]><r><a>1</a></r>",
             "<!DOCTYPE r SYSTEM \"file://" + dir.file("evil.dtd") + "\"><r><a>&leak;</a></r>",
             "<!DOCTYPE r [<!ENTITY x SYSTEM \"http://127.0.0.1:9/x\">]><r><a>&x;</a></r>",
         }) {
        const std::optional<Dictionary> d = read(xml);
        const Dictionary* r = d ? d->findDictionary("r") : nullptr;
        const std::string* a = r ? r->findString("a") : nullptr;
        if (a) {
            EXPECT_EQ(a->find("TOP-SECRET"), std::string::npos) << xml;
        }
    }
}

TEST_F(NSConversion, EntityExpansionBombGivesNothing) {
    std::string xml = "<!DOCTYPE r [<!ENTITY e0 \"<x>0123456789</x>\">";
    for (int i = 1; i <= 8; ++i) {
        xml += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) xml += "&e" + std::to_string(i - 1) + ";";
        xml += "\">";
    }
    xml += "]><r>&e8;</r>";
    EXPECT_FALSE(read(xml));
}

TEST_F(NSConversion, TwoThreadsConvertAtOnce) {
    const Dictionary d = dict({{"deviceInformation", Array{printer("1"), printer("2")}}});
    std::vector<std::thread> threads;
    std::vector<int> good(2, 0);
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const std::optional<Bytes> bytes = converter.copyDictionaryToXmlDataNS(d, "printerListBody");
                const bool ok = bytes && converter.copyXMLDataToDictionaryNS(*bytes) == dict({{"printerListBody", d}}) &&
                                !converter.copyXMLDataToDictionaryNS(bytesOf("<broken>"));
                good[static_cast<std::size_t>(t)] += ok ? 1 : 0;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(good, (std::vector<int>{200, 200}));
}

}  // namespace
}  // namespace zelvik
