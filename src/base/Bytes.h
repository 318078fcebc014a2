// SPDX-License-Identifier: Apache-2.0
// A byte buffer: the content of a file, or the bytes of an XML document.
#pragma once

#include <cstdint>
#include <vector>

namespace zelvik {

using Bytes = std::vector<std::uint8_t>;

}  // namespace zelvik
