#include "Printer.h"

#include <ctime>

#include "foundation/Format.h"
#include "foundation/Time.h"

using vek::sl::formatString;

std::string localIsoTime(uint64_t filetime) {
    uint64_t ticks = filetime > vek::sys::kUnixEpochTicks ? filetime - vek::sys::kUnixEpochTicks : 0;
    std::time_t seconds = static_cast<std::time_t>(ticks / vek::sys::kTicksPerSecond);
    const std::tm* local = std::localtime(&seconds);  // one thread: the viewer's
    if (!local) return std::to_string(filetime);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", local);
    return formatString("%s.%07llu", text, static_cast<unsigned long long>(ticks % vek::sys::kTicksPerSecond));
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\')
            out += {'\\', static_cast<char>(c)};
        else if (c < 0x20 || c >= 0x7F)  // our texts are ASCII but for what a device sent
            out += formatString("\\u%04x", c);
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

void Printer::emit(const std::string& where, const std::string& whereJson, const Described& d) {
    std::string line;
    if (options_.json) {
        line = "{" + whereJson + ",\"name\":" + jsonString(d.name);
        for (const Field& f : d.fields) line += "," + jsonString(f.key) + ":" + (f.number ? f.value : jsonString(f.value));
        line += "}";
    } else {
        line = where + "  " + d.name;
        for (const Field& f : d.fields) {
            if (f.key == "ascii")
                line += "  |" + f.value + "|";
            else if (f.key == "hex")
                line += f.value.empty() ? "" : "  " + f.value;
            else if (f.value.find(' ') != std::string::npos)
                line += " " + f.key + "=\"" + f.value + "\"";
            else
                line += " " + f.key + "=" + f.value;
        }
    }
    std::fprintf(out_, "%s\n", line.c_str());
}

void Printer::count(const Described& d, int direction, size_t bytes) {
    ++counts_[d.name];
    if (direction >= 0) directionBytes_[direction] += bytes;
}

void Printer::message(uint64_t offset, DeviceFamily family, uint8_t code, std::span<const uint8_t> payload) {
    Described d = describeMessage(family, code, payload);
    count(d, dataDirection(family, code), payload.size());
    emit(formatString("%10llu", static_cast<unsigned long long>(offset)),
         formatString("\"offset\":%llu,\"code\":%u", static_cast<unsigned long long>(offset), code), d);
}

void Printer::record(uint64_t timestamp, DeviceFamily family, uint64_t code, std::span<const uint8_t> data) {
    Described d = describeRecord(family, code, data);
    int direction = code == 0x61D47FF1FC334A10 ? 0 : code == 0x61D47FF1FC334A11 ? 1 : -1;
    count(d, direction, data.size());
    std::string time = localIsoTime(timestamp);
    emit(time, "\"time\":" + jsonString(time) + formatString(",\"filetime\":%llu", static_cast<unsigned long long>(timestamp)),
         d);
}

void Printer::file(const std::string& name) {
    if (options_.json)
        std::fprintf(out_, "{\"file\":%s}\n", jsonString(name).c_str());
    else
        std::fprintf(out_, "== %s\n", name.c_str());
}

void Printer::finish() {
    if (!options_.stats) return;
    uint64_t total = 0;
    for (const auto& [name, n] : counts_) total += n;
    if (options_.json) {
        std::string counts;
        for (const auto& [name, n] : counts_)
            counts += (counts.empty() ? "" : ",") + jsonString(name) + formatString(":%llu", static_cast<unsigned long long>(n));
        std::fprintf(out_, "{\"stats\":{\"total\":%llu,\"counts\":{%s},\"bytes\":[%llu,%llu]}}\n",
                     static_cast<unsigned long long>(total), counts.c_str(),
                     static_cast<unsigned long long>(directionBytes_[0]), static_cast<unsigned long long>(directionBytes_[1]));
        return;
    }
    std::fprintf(out_, "-- %llu in all\n", static_cast<unsigned long long>(total));
    for (const auto& [name, n] : counts_) std::fprintf(out_, "   %-22s %llu\n", name.c_str(), static_cast<unsigned long long>(n));
    std::fprintf(out_, "-- data bytes: direction 0 %llu, direction 1 %llu\n",
                 static_cast<unsigned long long>(directionBytes_[0]), static_cast<unsigned long long>(directionBytes_[1]));
}
