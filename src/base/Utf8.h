// SPDX-License-Identifier: Apache-2.0
// The one test of text read from a device for being UTF-8.
#pragma once

#include <string_view>

namespace zelvik {

// Strict UTF-8: no overlong forms, no surrogate code points (which is how a
// lone half of a UTF-16 pair comes out of a unit-by-unit conversion),
// nothing above U+10FFFF, no truncated sequences.
bool isValidUTF8(std::string_view text);

}  // namespace zelvik
