// SPDX-License-Identifier: Apache-2.0
#include "xml/Value.h"

#include <algorithm>

namespace zelvik {

const Value* Dictionary::find(std::string_view name) const {
    auto it = std::find(mNames.begin(), mNames.end(), name);
    return it == mNames.end() ? nullptr : &mValues[static_cast<std::size_t>(it - mNames.begin())];
}

Value* Dictionary::find(std::string_view name) { return const_cast<Value*>(std::as_const(*this).find(name)); }

const std::string* Dictionary::findString(std::string_view name) const {
    const Value* v = find(name);
    return v ? v->asString() : nullptr;
}

const Dictionary* Dictionary::findDictionary(std::string_view name) const {
    const Value* v = find(name);
    return v ? v->asDictionary() : nullptr;
}

void Dictionary::set(std::string name, Value value) {
    if (Value* existing = find(name)) {
        *existing = std::move(value);
        return;
    }
    mNames.push_back(std::move(name));
    mValues.push_back(std::move(value));
}

}  // namespace zelvik
