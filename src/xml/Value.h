// SPDX-License-Identifier: Apache-2.0
// The dictionary tree: the in-memory form of every XML file the program reads
// or writes. A value is a string, a dictionary (unique names, kept in
// insertion order, which is also the order written), an array, or a 64-bit
// integer (which writers emit as its decimal text).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace zelvik {

class Value;
using Array = std::vector<Value>;

class Dictionary {
public:
    Dictionary() = default;

    // Entry lookup by exact name; null when absent.
    const Value* find(std::string_view name) const;
    Value* find(std::string_view name);

    // The text of a string entry; null when the entry is absent or no string.
    const std::string* findString(std::string_view name) const;
    // The dictionary of an entry; null when absent or no dictionary.
    const Dictionary* findDictionary(std::string_view name) const;

    // Replaces the value of an existing entry in place, or appends a new one.
    void set(std::string name, Value value);
    bool contains(std::string_view name) const { return find(name) != nullptr; }

    std::size_t size() const { return mNames.size(); }
    bool empty() const { return mNames.empty(); }
    const std::string& nameAt(std::size_t i) const { return mNames[i]; }
    const Value& valueAt(std::size_t i) const;

    bool operator==(const Dictionary& other) const;

private:
    std::vector<std::string> mNames;
    std::vector<Value> mValues;
};

class Value {
public:
    using Storage = std::variant<std::string, Dictionary, Array, std::int64_t>;

    Value() : mStorage(std::string()) {}
    Value(std::string s) : mStorage(std::move(s)) {}
    Value(const char* s) : mStorage(std::string(s)) {}
    Value(Dictionary d) : mStorage(std::move(d)) {}
    Value(Array a) : mStorage(std::move(a)) {}
    Value(std::int64_t n) : mStorage(n) {}
    Value(int n) : mStorage(static_cast<std::int64_t>(n)) {}

    bool isString() const { return std::holds_alternative<std::string>(mStorage); }
    bool isDictionary() const { return std::holds_alternative<Dictionary>(mStorage); }
    bool isArray() const { return std::holds_alternative<Array>(mStorage); }
    bool isInteger() const { return std::holds_alternative<std::int64_t>(mStorage); }

    const std::string* asString() const { return std::get_if<std::string>(&mStorage); }
    const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&mStorage); }
    Dictionary* asDictionary() { return std::get_if<Dictionary>(&mStorage); }
    const Array* asArray() const { return std::get_if<Array>(&mStorage); }
    const std::int64_t* asInteger() const { return std::get_if<std::int64_t>(&mStorage); }

    const Storage& storage() const { return mStorage; }
    bool operator==(const Value& other) const { return mStorage == other.mStorage; }

private:
    Storage mStorage;
};

inline const Value& Dictionary::valueAt(std::size_t i) const { return mValues[i]; }

inline bool Dictionary::operator==(const Dictionary& other) const {
    return mNames == other.mNames && mValues == other.mValues;
}

}  // namespace zelvik
