#pragma once
// Value names of the switches that take a word rather than a number. Keys are
// exact and case-sensitive. Each table is built once, on first use, and read-only
// afterwards.

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class ValueNameTable {
public:
    ValueNameTable(std::initializer_list<std::pair<const std::string_view, uint8_t>> entries) : map_(entries) {}

    // False (value untouched) when the whole text is not a key.
    bool find(std::string_view name, uint8_t& value) const;
    // Every key, in the order of their values (for completion and manuals).
    std::vector<std::string_view> names() const;

private:
    std::unordered_map<std::string_view, uint8_t> map_;
};

// "none" "odd" "even" "mark" "space" -> SerialParity.
class SerialParityStringTable {
public:
    static const ValueNameTable& instance();
};

// "1" "1.5" "2" -> SerialStopBits.
class SerialStopBitsStringTable {
public:
    static const ValueNameTable& instance();
};
