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
    // Writes a document into the test directory and reads it back through
    // the reader, by its absolute path.
    std::optional<Dictionary> readText(const std::string& xml) {
        const std::string path = dir.file("doc.xml");
        test::writeFile(path, xml);
        return converter.copyXMLDataToDictionaryCF(path);
    }
    Value rootValue(const std::string& xml) {
        const std::optional<Dictionary> d = readText(xml);
        if (!d || d->size() != 1) return Value("<no single root>");
        return d->valueAt(0);
    }
    std::string write(const Dictionary* d, const std::string* root) const {
        const std::optional<Bytes> bytes = converter.copyDictionaryToXmlDataCF(d, root);
        return bytes ? textOf(*bytes) : std::string("<nothing>");
    }
    std::string write(const Dictionary& d, const std::string& root) const { return write(&d, &root); }

    test::TempDir dir;
    KxXmlDataConverter converter;
};

TEST_F(CFConversion, ReadsThePrettyPrintedFilesOfTheProgram) {
    EXPECT_EQ(readText("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<statusBody>\n    "
                       "<errorCode>0</errorCode>\n</statusBody>\n"),
              dict({{"statusBody", dict({{"errorCode", "0"}})}}));
    // Where the other reader gives the empty string, this one gives an empty dictionary.
    EXPECT_EQ(readText("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<printerListBody></printerListBody>\n"),
              dict({{"printerListBody", Dictionary()}}));
    EXPECT_EQ(rootValue("<r>\n    <e/>\n    <f>   </f>\n</r>"), Value(dict({{"e", Dictionary()}, {"f", Dictionary()}})));
}

TEST_F(CFConversion, AnElementReadsAsItsFirstChild) {
    EXPECT_EQ(rootValue("<r><!-- note -->text</r>"), Value(" note "));
    EXPECT_EQ(rootValue("<r>text<a>1</a>more</r>"), Value("text"));
    EXPECT_EQ(rootValue("<r><a>1</a>text</r>"), Value(dict({{"a", "1"}})));
    EXPECT_EQ(rootValue("<r><![CDATA[raw <b>]]>after</r>"), Value("raw <b>"));
    // References are part of the text, so they never cut a value short.
    EXPECT_EQ(rootValue("<!DOCTYPE r [<!ENTITY who \"world\">]><r>a &amp; b &#65; &who;!</r>"),
              Value("a & b A world!"));
}

TEST_F(CFConversion, ArraysOnlyForRepeatedNames) {
    EXPECT_EQ(rootValue("<r><a>1</a><b/><a>2</a></r>"),
              Value(dict({{"a", Array{"1", "2"}}, {"b", Dictionary()}})));
    EXPECT_EQ(rootValue("<r><a x=\"1\">only</a></r>"), Value(dict({{"a", "only"}})));
}

TEST_F(CFConversion, PathIsReadAsAFileUrl) {
    test::writeFile(dir.file("doc.xml"), "<r>ok</r>");
    test::writeFile(dir.file("a b.xml"), "<r>spaced</r>");
    const Dictionary ok = dict({{"r", "ok"}});
    const std::string relative = dir.file("doc.xml").substr(1);

    // A relative path is taken from the root of the file system, not from here.
    EXPECT_EQ(converter.copyXMLDataToDictionaryCF(relative), ok);
    // '?' starts a query and '#' a fragment; neither is part of the file name.
    EXPECT_EQ(converter.copyXMLDataToDictionaryCF(dir.file("doc.xml?x=1")), ok);
    EXPECT_EQ(converter.copyXMLDataToDictionaryCF(dir.file("doc.xml#top")), ok);
    EXPECT_EQ(converter.copyXMLDataToDictionaryCF(dir.file("a%20b.xml")), dict({{"r", "spaced"}}));
    // Strings that are no URL give nothing, even though the file exists.
    EXPECT_FALSE(converter.copyXMLDataToDictionaryCF(dir.file("a b.xml")));
    EXPECT_FALSE(converter.copyXMLDataToDictionaryCF(dir.file("doc.xml%")));
    EXPECT_FALSE(converter.copyXMLDataToDictionaryCF(dir.file("doc.xml#a#b")));
    EXPECT_FALSE(converter.copyXMLDataToDictionaryCF(dir.file("missing.xml")));
    EXPECT_FALSE(converter.copyXMLDataToDictionaryCF(dir.path()));
}

TEST_F(CFConversion, MalformedOrExternalContentGivesNothingUnsafe) {
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(readText(""));
    EXPECT_FALSE(readText("<r><a>1</a>"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    test::writeFile(dir.file("secret"), "TOP-SECRET");
    const std::optional<Dictionary> d =
        readText("<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + dir.file("secret") + "\">]><r>a&x;</r>");
    if (d) {
        EXPECT_EQ(*d, dict({{"r", "a"}}));
    }
}

TEST_F(CFConversion, WritesOneCompactLine) {
    EXPECT_EQ(write(dict({{"errorCode", "0"}}), "statusBody"),
              std::string(kDeclaration) + "<statusBody><errorCode>0</errorCode></statusBody>");
    EXPECT_EQ(write(dict({{"a", Array{"1", Array{"2"}, Array{}}}, {"n", 42}, {"e", Dictionary()}, {"s", ""}}), "r"),
              std::string(kDeclaration) + "<r><a>1</a><a>2</a><e></e><s></s></r>");
    const Dictionary d;
    const std::string root = "r";
    EXPECT_EQ(write(nullptr, &root), kDeclaration);
    EXPECT_EQ(write(&d, nullptr), kDeclaration);
    EXPECT_EQ(write(dict({{"bad name", "x"}}), "r"), "<nothing>");
    EXPECT_EQ(write(dict({{"t", "\x01"}}), "r"), "<nothing>");
}

TEST_F(CFConversion, MarkupInTextRoundTrips) {
    const Dictionary d = dict({{"t", "a & b < c > ]]> d"}});
    test::writeFile(dir.file("out.xml"), write(d, "r"));
    EXPECT_EQ(converter.copyXMLDataToDictionaryCF(dir.file("out.xml")), dict({{"r", d}}));
}

}  // namespace
}  // namespace zelvik
