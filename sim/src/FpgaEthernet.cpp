#include "FpgaEthernet.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "Scenario.h"

namespace qwsim {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMaxFrame = 0xFFFF;
constexpr uint64_t kLengthBits = 0xFFFF;
constexpr size_t kPcapGlobalHeader = 24;
constexpr size_t kPcapRecordHeader = 16;
constexpr uint32_t kPcapMagicMicro = 0xA1B2C3D4;
constexpr uint32_t kPcapMagicNano = 0xA1B23C4D;

void putWord(Bytes& out, uint32_t w) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
}

// The record the device sends for a frame.
void appendRecord(Bytes& out, const uint8_t* frame, size_t length, uint32_t flags) {
    putWord(out, static_cast<uint32_t>(length) | flags);
    out.insert(out.end(), frame, frame + length);
    out.resize(out.size() + (4 - length % 4) % 4, 0);
}

// flags=F: header bits above the length; empty when absent.
std::string parseFlags(const Statement& st, uint32_t* flags) {
    *flags = 0;
    std::optional<std::string> word = option(st, "flags");
    uint64_t v = 0;
    if (!word) return {};
    if (!parseNumber(*word, &v) || v > UINT32_MAX || (v & kLengthBits) != 0)
        return "flags=BITS takes bits 16 to 31 of the header word";
    *flags = static_cast<uint32_t>(v);
    return {};
}

std::string frameStatement(const Statement& st, Bytes& out) {
    uint32_t flags = 0;
    std::string problem = parseFlags(st, &flags);
    if (!problem.empty()) return problem;
    Bytes frame;
    for (size_t i = 1; i < st.words.size(); ++i) {
        const std::string& w = st.words[i];
        uint64_t size = 0;
        if (w.rfind("flags=", 0) == 0) continue;
        if (w.rfind("size=", 0) == 0) {
            if (!parseNumber(w.substr(5), &size) || size > kMaxFrame) return "size=N takes 0 to 65535 bytes";
            for (uint64_t k = 0; k < size; ++k) frame.push_back(static_cast<uint8_t>(k));
        } else if (!parseHexBytes(w, &frame)) {
            return "bad hex bytes '" + w + "'";
        }
    }
    if (frame.size() > kMaxFrame) return "a frame holds at most 65535 bytes";
    appendRecord(out, frame.data(), frame.size(), flags);
    return {};
}

// Made as they are sent, never held: a pattern of the word's byte.
std::string idleStatement(const Statement& st, GenericModel& stream, uint8_t endpoint) {
    size_t n = st.words.size();
    uint64_t count = 0;
    if (n < 2 || n > 3 || !parseNumber(st.words[1], &count) || count > (uint64_t{1} << 40) ||
        (n == 3 && st.words[2] != "zeros" && st.words[2] != "ones"))
        return "expected 'idle COUNT [zeros|ones]'";
    if (count == 0) return {};
    const char* fill = n == 3 && st.words[2] == "ones" ? "0xff" : "0x00";
    return stream.configure(Statement{{"pattern", "fill", fill, std::to_string(4 * count)}, st.line, st.baseDir},
                            endpoint);
}

uint32_t readU32(const uint8_t* p, bool swapped) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{p[swapped ? 3 - i : i]} << (8 * i);
    return v;
}

std::string pcapStatement(const Statement& st, Bytes& out) {
    uint32_t flags = 0;
    std::string problem = parseFlags(st, &flags);
    if (!problem.empty()) return problem;
    if (st.words.size() < 2 || st.words[1].find('=') != std::string::npos) return "expected 'pcap FILE [flags=BITS]'";
    std::string path = scenarioPath(st, st.words[1]);
    std::error_code ec;
    std::ifstream in;
    if (std::filesystem::is_regular_file(path, ec)) in.open(path, std::ios::binary);
    if (!in.is_open()) return "cannot read the file '" + path + "'";
    Bytes file(std::istreambuf_iterator<char>(in), {});
    bool swapped = file.size() >= 4 && (readU32(file.data(), true) == kPcapMagicMicro ||
                                        readU32(file.data(), true) == kPcapMagicNano);
    uint32_t magic = file.size() >= kPcapGlobalHeader ? readU32(file.data(), swapped) : 0;
    if (magic != kPcapMagicMicro && magic != kPcapMagicNano) return "'" + path + "' is not a pcap file";
    for (size_t at = kPcapGlobalHeader; at < file.size();) {
        if (file.size() - at < kPcapRecordHeader) return "'" + path + "' ends inside a record header";
        uint32_t length = readU32(&file[at + 8], swapped);
        at += kPcapRecordHeader;
        if (length > kMaxFrame) return "'" + path + "' holds a frame longer than 65535 bytes";
        if (file.size() - at < length) return "'" + path + "' ends inside a frame";
        appendRecord(out, &file[at], length, flags);
        at += length;
    }
    return {};
}

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * bytes.size());
    for (uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

}  // namespace

bool isEthernetStatement(const std::string& k) { return k == "frame" || k == "idle" || k == "pcap"; }

std::string configureEthernet(const Statement& st, GenericModel& stream, uint8_t endpoint) {
    const std::string& k = st.words[0];
    if (k == "idle") return idleStatement(st, stream, endpoint);
    Bytes bytes;
    std::string problem = k == "frame" ? frameStatement(st, bytes) : pcapStatement(st, bytes);
    if (!problem.empty()) return problem;
    if (bytes.empty()) return {};
    // Handed on as the literal bytes they are.
    return stream.configure(Statement{{"bytes", hex(bytes)}, st.line, st.baseDir}, endpoint);
}

}  // namespace qwsim
