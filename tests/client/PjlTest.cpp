// SPDX-License-Identifier: Apache-2.0
// The PJL block reader on answers as printers send them: which block
// answers which question, and the values read from it.
#include <gtest/gtest.h>

#include "zelvik/pjl.h"

namespace zelvik::test {
namespace {

namespace pjl = zelvik::client::pjl;

// A printer with status reporting on sends its USTATUS block unasked.
const std::string kUnsolicited = "@PJL USTATUS DEVICE\r\nCODE=40038\r\nDISPLAY=\"LOW TONER\"\r\nONLINE=TRUE\r\n\f";
const std::string kAllThree = "@PJL INFO ID\r\n\"Zelvik LP-100\"\r\n\f"
                              "@PJL INFO STATUS\r\nCODE=10001\r\nDISPLAY=\"Ready\"\r\nONLINE=TRUE\r\n\f"
                              "@PJL INFO PAGECOUNT\r\n42\r\n\f";

TEST(Pjl, EachQuestionIsReadFromItsOwnBlock) {
    const struct {
        const char* what;
        std::string answer;
        std::string question;
        bool answered;
        // key (empty: the first bare value) and the value read
        std::vector<std::pair<std::string, std::string>> values;
    } cases[] = {
        {"an unsolicited block before the answer",
         kUnsolicited + "@PJL INFO PAGECOUNT\r\n1234\r\n\f",
         "INFO PAGECOUNT",
         true,
         {{"", "1234"}}},
        {"a question without its block", kUnsolicited + "@PJL INFO PAGECOUNT\r\n1234\r\n\f", "INFO ID", false, {}},
        {"the USTATUS block to the question that turns it on",
         kUnsolicited,
         "USTATUS DEVICE = ON",
         true,
         {{"CODE", "40038"}, {"DISPLAY", "LOW TONER"}, {"online", "TRUE"}}},
        {"several blocks in one read",
         kAllThree,
         "@PJL INFO STATUS\r\n",
         true,
         {{"CODE", "10001"}, {"DISPLAY", "Ready"}}},
        {"a quoted bare value", kAllThree, "info id", true, {{"", "Zelvik LP-100"}}},
        {"bare LF, unquoted values",
         "@PJL INFO STATUS\nCODE=10001\nDISPLAY=LOW TONER\n\f@PJL INFO ID\nLP-1\n\f",
         "INFO ID",
         true,
         {{"", "LP-1"}}},
        {"unquoted display text",
         "@PJL INFO STATUS\nCODE = 30010\nDISPLAY=LOW TONER  \n\f",
         "INFO STATUS",
         true,
         {{"CODE", "30010"}, {"DISPLAY", "LOW TONER"}}},
        {"a quoted text with blanks, = and control bytes kept",
         "@PJL INFO STATUS\r\nDISPLAY=\" A = B \x1b]0;x\x07\"\r\n\f",
         "INFO STATUS",
         true,
         {{"DISPLAY", " A = B \x1b]0;x\x07"}}},
        {"the figure as KEY=value",
         "@PJL INFO PAGECOUNT\r\nPAGECOUNT=77\r\n\f",
         "INFO PAGECOUNT",
         true,
         {{"PAGECOUNT", "77"}}},
        {"a form feed right after the value", "@PJL INFO PAGECOUNT\r\n99\f", "INFO PAGECOUNT", true, {{"", "99"}}},
        {"a universal exit and noise before the block",
         "\x1b%-12345Xjunk\r\n\x1b%-12345X@PJL INFO ID\r\nLP\r\n\f",
         "INFO ID",
         true,
         {{"", "LP"}}},
        {"a block cut short", "@PJL INFO PAGECOUNT\r\n12", "INFO PAGECOUNT", false, {}},
        {"a block without its form feed ends at the next",
         "@PJL USTATUS DEVICE\r\nCODE=1\r\n@PJL INFO PAGECOUNT\r\n7\r\n\f",
         "INFO PAGECOUNT",
         true,
         {{"", "7"}}},
        {"INFO VARIABLES: indented ranges",
         "@PJL INFO VARIABLES\r\nCOPIES=1 [2 RANGE]\r\n\t1\r\n\t999\r\n\f",
         "INFO VARIABLES",
         true,
         {{"COPIES", "1 [2 RANGE]"}, {"", "1"}}},
        {"INFO CONFIG: a bare heading first",
         "@PJL INFO CONFIG\r\nIN TRAYS [1 ENUMERATED]\r\n\tINTRAY1\r\nMEMORY=8388608\r\n\f",
         "INFO CONFIG",
         true,
         {{"", "IN TRAYS [1 ENUMERATED]"}, {"MEMORY", "8388608"}}},
        {"an ECHO, its text exactly", "@PJL ECHO Zelvik  42\r\n\f", "ECHO Zelvik 42", true, {}},
        {"an ECHO of other text", "@PJL ECHO Zelvik 42\r\n\f", "ECHO zelvik 42", false, {}},
        {"a command that is not answered", "@PJL INFO ID\r\nLP\r\n\f", "SET COPIES=2", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::optional<pjl::Block> block = pjl::answerTo(c.answer, c.question);
        ASSERT_EQ(c.answered, block.has_value());
        for (const auto& [key, value] : c.values) {
            EXPECT_EQ(value, key.empty() ? pjl::bareValue(*block) : pjl::valueOf(*block, key)) << key;
        }
    }
}

TEST(Pjl, BlocksInOrderWithTheirHeadersAndEnds) {
    const auto blocks = pjl::blocks(kUnsolicited + kAllThree + "@PJL  INFO\tPAGECOUNT\r\n4");
    ASSERT_EQ(5u, blocks.size());
    EXPECT_EQ("USTATUS DEVICE", blocks[0].header);
    EXPECT_EQ(3u, blocks[0].lines.size());
    EXPECT_TRUE(blocks[0].lines[1].quoted);
    EXPECT_EQ("INFO PAGECOUNT", blocks[4].header);
    EXPECT_TRUE(blocks[3].complete);
    EXPECT_FALSE(blocks[4].complete);
    EXPECT_TRUE(pjl::blocks("no block\r\n\f").empty());

    EXPECT_EQ("USTATUS DEVICE", pjl::echoOf("@PJL USTATUS DEVICE=VERBOSE"));
    EXPECT_EQ("DINQUIRE LPARM:PCL FONTSOURCE", pjl::echoOf("dinquire lparm:pcl  fontsource"));
    EXPECT_EQ(std::nullopt, pjl::echoOf("INFO"));
    EXPECT_EQ(std::nullopt, pjl::echoOf("ENTER LANGUAGE=PCL"));
}

}  // namespace
}  // namespace zelvik::test
