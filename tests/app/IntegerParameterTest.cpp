// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <climits>

#include "app/ZelvikController.h"

namespace zelvik {
namespace {

TEST(IntegerParameter, LeadingDecimalNumberWithSignAndClamping) {
    EXPECT_EQ(15, ZelvikController::integerOfText("15abc"));
    EXPECT_EQ(15, ZelvikController::integerOfText(" \t\n15"));
    EXPECT_EQ(-3, ZelvikController::integerOfText("-3"));
    EXPECT_EQ(7, ZelvikController::integerOfText("+7 "));
    EXPECT_EQ(0, ZelvikController::integerOfText("abc"));
    EXPECT_EQ(0, ZelvikController::integerOfText(""));
    EXPECT_EQ(0, ZelvikController::integerOfText("- 5"));
    EXPECT_EQ(0, ZelvikController::integerOfText("0x10"));
    EXPECT_EQ(INT_MAX, ZelvikController::integerOfText("99999999999999999999999"));
    EXPECT_EQ(INT_MIN, ZelvikController::integerOfText("-99999999999999999999999"));
    EXPECT_EQ(INT_MIN, ZelvikController::integerOfText("-2147483648"));
    EXPECT_EQ(INT_MAX, ZelvikController::integerOfText("2147483648"));
}

}  // namespace
}  // namespace zelvik
