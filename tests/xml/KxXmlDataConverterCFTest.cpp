// SPDX-License-Identifier: Apache-2.0
// The second pair of conversions: a reader that takes a path made into a
// "file:///" URL and a compact writer.
#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "xml/KxXmlDataConverter.h"
#include "xml/XmlTestSupport.h"

namespace zelvik {
namespace {

using test::dict;
using test::textOf;

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";

class CFConversion : public ::testing::Test {
protected:
    // Writes a document into the test directory and reads it back by path.
    std::optional<Dictionary> readText(const std::string& xml) {
        test::writeFile(dir.file("doc.xml"), xml);
        return converter.copyXMLDataToDictionaryCF(dir.file("doc.xml"));
    }
    std::string write(const Dictionary* d, const std::string* root) const {
        const std::optional<Bytes> bytes = converter.copyDictionaryToXmlDataCF(d, root);
        return bytes ? textOf(*bytes) : std::string("<nothing>");
    }
    std::string write(const Dictionary& d, const std::string& root = "r") const { return write(&d, &root); }

    test::TempDir dir;
    KxXmlDataConverter converter;
};

TEST_F(CFConversion, ReadingRules) {
    const struct {
        std::string xml;
        Dictionary expected;
    } cases[] = {
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<statusBody>\n    <errorCode>0</errorCode>\n</statusBody>\n",
         dict({{"statusBody", dict({{"errorCode", "0"}})}})},
        // Empty and white-space-only elements are empty dictionaries.
        {"<printerListBody></printerListBody>\n", dict({{"printerListBody", Dictionary()}})},
        {"<r>\n    <e/>\n    <f>   </f>\n</r>", dict({{"r", dict({{"e", Dictionary()}, {"f", Dictionary()}})}})},
        // An element reads as its first child.
        {"<r><!-- note -->text</r>", dict({{"r", " note "}})},
        {"<r>text<a>1</a>more</r>", dict({{"r", "text"}})},
        {"<r><a>1</a>text</r>", dict({{"r", dict({{"a", "1"}})}})},
        {"<r><![CDATA[raw <b>]]>after</r>", dict({{"r", "raw <b>"}})},
        {"<r><![CDATA[one]]><![CDATA[]]><![CDATA[ section]]>after</r>", dict({{"r", "one section"}})},
        // References are part of the text, so they never cut a value short.
        {"<!DOCTYPE r [<!ENTITY who \"world\">]><r>a &amp; b &#65; &who;!</r>", dict({{"r", "a & b A world!"}})},
        // Arrays only for repeated names; attributes are ignored.
        {"<r><a x=\"1\">1</a><b/><a>2</a></r>", dict({{"r", dict({{"a", Array{"1", "2"}}, {"b", Dictionary()}})}})},
    };
    for (const auto& c : cases) EXPECT_EQ(readText(c.xml), c.expected) << c.xml;
}

TEST_F(CFConversion, PathIsReadAsAFileUrl) {
    test::writeFile(dir.file("doc.xml"), "<r>ok</r>");
    test::writeFile(dir.file("a b.xml"), "<r>spaced</r>");
    test::writeFile(dir.file("doc.xml%"), "<r>ok</r>");
    const Dictionary ok = dict({{"r", "ok"}});
    // A relative path is taken from the root of the file system, not from here;
    // '?' starts a query and '#' a fragment, neither part of the file name.
    for (const std::string& path : {dir.file("doc.xml").substr(1), dir.file("doc.xml?x=1"), dir.file("doc.xml#top")}) {
        EXPECT_EQ(converter.copyXMLDataToDictionaryCF(path), ok) << path;
    }
    EXPECT_EQ(converter.copyXMLDataToDictionaryCF(dir.file("a%20b.xml")), dict({{"r", "spaced"}}));
    // Strings that are no URL give nothing, even where the file exists.
    for (const std::string& path :
         {dir.file("a b.xml"), dir.file("doc.xml%"), dir.file("doc.xml#a#b"), dir.file("missing.xml"), dir.path()}) {
        EXPECT_FALSE(converter.copyXMLDataToDictionaryCF(path)) << path;
    }
}

TEST_F(CFConversion, MalformedOrExternalContentGivesNothingUnsafe) {
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(readText(""));
    EXPECT_FALSE(readText("<r><a>1</a>"));
    test::writeFile(dir.file("secret"), "TOP-SECRET");
    const std::optional<Dictionary> d =
        readText("<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + dir.file("secret") + "\">]><r>a&x;</r>");
    EXPECT_TRUE(!d || *d == dict({{"r", "a"}}));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(CFConversion, WritesOneCompactLine) {
    EXPECT_EQ(write(dict({{"errorCode", "0"}}), "statusBody"),
              std::string(kDeclaration) + "<statusBody><errorCode>0</errorCode></statusBody>");
    // Numbers are left out, nested arrays flattened.
    EXPECT_EQ(write(dict({{"a", Array{"1", Array{"2"}, Array{}}}, {"n", 42}, {"e", Dictionary()}, {"s", ""}})),
              std::string(kDeclaration) + "<r><a>1</a><a>2</a><e></e><s></s></r>");
    const Dictionary empty;
    const std::string root = "r";
    EXPECT_EQ(write(nullptr, &root), kDeclaration);
    EXPECT_EQ(write(&empty, nullptr), kDeclaration);
    EXPECT_EQ(write(dict({{"bad name", "x"}})), "<nothing>");
    EXPECT_EQ(write(dict({{"t", "\x01"}})), "<nothing>");

    const Dictionary markup = dict({{"t", "a & b < c > ]]> d"}});
    EXPECT_EQ(readText(write(markup)), dict({{"r", markup}}));
}

}  // namespace
}  // namespace zelvik
