// SPDX-License-Identifier: Apache-2.0
// The C interface's header as a C++ program includes it, its handles owned
// the C++ way.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "zelvik/zelvik.h"

namespace zelvik::test {
namespace {

struct HelperFree {
    void operator()(zelvik_helper* helper) const { zelvik_helper_free(helper); }
};

TEST(CInterfaceFromCxx, HandlesOwnedByUniquePtr) {
    zelvik_helper* made = nullptr;
    ASSERT_EQ(ZELVIK_OK, zelvik_helper_new_simulated("bus.xml", ZELVIK_SIM_PROGRAM, &made));
    const std::unique_ptr<zelvik_helper, HelperFree> helper(made);
    EXPECT_EQ(std::string(ZELVIK_SIM_PROGRAM), zelvik_helper_program(helper.get()));
    const zelvik_result kind = zelvik_error_kind(nullptr);
    EXPECT_EQ(ZELVIK_OK, kind);
}

}  // namespace
}  // namespace zelvik::test
