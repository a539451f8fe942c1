#include "app/CmdLineValueMaps.h"

#include <algorithm>

#include "session/Settings.h"

bool ValueNameTable::find(std::string_view name, uint8_t& value) const {
    auto it = map_.find(name);
    if (it == map_.end()) return false;
    value = it->second;
    return true;
}

const ValueNameTable& SerialParityStringTable::instance() {
    static const ValueNameTable table{
        {"none", kParityNone}, {"odd", kParityOdd}, {"even", kParityEven}, {"mark", kParityMark}, {"space", kParitySpace},
    };
    return table;
}

const ValueNameTable& SerialStopBitsStringTable::instance() {
    static const ValueNameTable table{{"1", kStopBitsOne}, {"1.5", kStopBitsOneHalf}, {"2", kStopBitsTwo}};
    return table;
}

std::vector<std::string_view> ValueNameTable::names() const {
    std::vector<std::pair<uint8_t, std::string_view>> byValue;
    for (const auto& [name, value] : map_) byValue.emplace_back(value, name);
    std::sort(byValue.begin(), byValue.end());
    std::vector<std::string_view> out;
    for (const auto& entry : byValue) out.push_back(entry.second);
    return out;
}
