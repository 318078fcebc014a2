// SPDX-License-Identifier: Apache-2.0
// Small helpers shared by the XML converter tests.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "base/Bytes.h"
#include "xml/Value.h"

namespace zelvik::test {

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A dictionary from name/value pairs, in the order given.
inline Dictionary dict(std::initializer_list<std::pair<std::string, Value>> entries) {
    Dictionary d;
    for (const auto& [name, value] : entries) d.set(name, value);
    return d;
}

}  // namespace zelvik::test
