// Words of the scenario language: numbers, codes, hex bytes, options.
#include <cstring>

#include "Scenario.h"

namespace qwsim {

namespace {

struct Named {
    const char* name;
    int value;
};

const Named kErrorNames[] = {
    {"io", LIBUSB_ERROR_IO},
    {"param", LIBUSB_ERROR_INVALID_PARAM},
    {"access", LIBUSB_ERROR_ACCESS},
    {"nodevice", LIBUSB_ERROR_NO_DEVICE},
    {"notfound", LIBUSB_ERROR_NOT_FOUND},
    {"busy", LIBUSB_ERROR_BUSY},
    {"timeout", LIBUSB_ERROR_TIMEOUT},
    {"overflow", LIBUSB_ERROR_OVERFLOW},
    {"pipe", LIBUSB_ERROR_PIPE},
    {"interrupted", LIBUSB_ERROR_INTERRUPTED},
    {"nomem", LIBUSB_ERROR_NO_MEM},
    {"notsupported", LIBUSB_ERROR_NOT_SUPPORTED},
    {"other", LIBUSB_ERROR_OTHER},
};

const Named kStatusNames[] = {
    {"completed", LIBUSB_TRANSFER_COMPLETED}, {"error", LIBUSB_TRANSFER_ERROR},
    {"timeout", LIBUSB_TRANSFER_TIMED_OUT},   {"cancelled", LIBUSB_TRANSFER_CANCELLED},
    {"stall", LIBUSB_TRANSFER_STALL},         {"nodevice", LIBUSB_TRANSFER_NO_DEVICE},
    {"overflow", LIBUSB_TRANSFER_OVERFLOW},
};

template <size_t N>
bool lookUp(const Named (&table)[N], const std::string& word, int* value) {
    for (const Named& n : table)
        if (word == n.name) {
            *value = n.value;
            return true;
        }
    return false;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool parseNumber(const std::string& word, uint64_t* value) {
    size_t i = 0;
    unsigned base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        i = 2;
    }
    size_t end = word.size();
    uint64_t scale = 1;
    if (end > i && base == 10) {
        switch (word[end - 1]) {
            case 'K': scale = uint64_t{1} << 10; break;
            case 'M': scale = uint64_t{1} << 20; break;
            case 'G': scale = uint64_t{1} << 30; break;
            default: break;
        }
        if (scale != 1) --end;
    }
    if (i >= end) return false;
    uint64_t v = 0;
    for (; i < end; ++i) {
        int d = hexDigit(word[i]);
        if (d < 0 || static_cast<unsigned>(d) >= base) return false;
        if (v > (UINT64_MAX - static_cast<unsigned>(d)) / base) return false;
        v = v * base + static_cast<unsigned>(d);
    }
    if (v > UINT64_MAX / scale) return false;
    *value = v * scale;
    return true;
}

bool parseErrorCode(const std::string& word, int* code) {
    if (lookUp(kErrorNames, word, code)) return true;
    uint64_t v = 0;
    if (word.size() < 2 || word[0] != '-' || !parseNumber(word.substr(1), &v) || v == 0 || v > 1000) return false;
    *code = -static_cast<int>(v);
    return true;
}

bool parseStatus(const std::string& word, int* status) {
    if (lookUp(kStatusNames, word, status)) return true;
    uint64_t v = 0;
    // libusb_transfer_status holds values up to 7.
    if (!parseNumber(word, &v) || v > 7) return false;
    *status = static_cast<int>(v);
    return true;
}

bool parseHexBytes(const std::string& word, std::vector<uint8_t>* out) {
    size_t i = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X') ? 2 : 0;
    if (i >= word.size() || (word.size() - i) % 2 != 0) return false;
    for (; i < word.size(); i += 2) {
        int hi = hexDigit(word[i]), lo = hexDigit(word[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

std::optional<std::string> option(const Statement& st, const char* key, size_t from) {
    size_t n = std::strlen(key);
    for (size_t i = from; i < st.words.size(); ++i) {
        const std::string& w = st.words[i];
        if (w.size() > n && w.compare(0, n, key) == 0 && w[n] == '=') return w.substr(n + 1);
    }
    return std::nullopt;
}

std::string scenarioPath(const Statement& st, const std::string& name) {
    bool absolute = !name.empty() && (name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':'));
    if (absolute || st.baseDir.empty() || st.baseDir == ".") return name;
    return st.baseDir + "/" + name;
}

}  // namespace qwsim
