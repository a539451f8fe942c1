#include "GenericModel.h"

#include <libusb.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "Scenario.h"

namespace qwsim {

std::string GenericModel::addEndpoint(const EndpointInfo& info) {
    endpoints_.push_back(info);
    if (info.address & LIBUSB_ENDPOINT_IN) sources_[info.address];
    return {};
}

std::string GenericModel::configure(const Statement& st, int endpoint) {
    const std::string& k = st.words[0];
    if (k == "control") return configureReply(st);
    bool sourceStatement = k == "bytes" || k == "text" || k == "pattern" || k == "file" || k == "chunk" ||
                           k == "rate" || k == "then";
    if (!sourceStatement) return "unknown statement '" + k + "'";
    auto it = endpoint < 0 ? sources_.end() : sources_.find(static_cast<uint8_t>(endpoint));
    if (it == sources_.end()) return "'" + k + "' needs an IN endpoint line before it";
    return configureSource(it->second, st);
}

std::string GenericModel::configureSource(Source& s, const Statement& st) {
    const std::string& k = st.words[0];
    size_t n = st.words.size();
    uint64_t v = 0;
    if (k == "bytes") {
        Item item;
        for (size_t i = 1; i < n; ++i)
            if (!parseHexBytes(st.words[i], &item.bytes)) return "bad hex bytes '" + st.words[i] + "'";
        if (n < 2) return "expected 'bytes HEX...'";
        s.items.push_back(std::move(item));
    } else if (k == "text") {
        if (n != 2) return "expected 'text \"WORDS\"'";
        s.items.push_back(Item{Item::Bytes, std::vector<uint8_t>(st.words[1].begin(), st.words[1].end())});
    } else if (k == "file") {
        if (n != 2) return "expected 'file NAME'";
        std::string path = scenarioPath(st, st.words[1]);
        std::error_code ec;
        std::ifstream in;
        // Only regular files: a device node such as /dev/zero would never end.
        if (std::filesystem::is_regular_file(path, ec)) in.open(path, std::ios::binary);
        if (!in.is_open()) return "cannot read the file '" + path + "'";
        s.items.push_back(Item{Item::Bytes, std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {})});
    } else if (k == "pattern") {
        Item item;
        std::string kind = n > 1 ? st.words[1] : "";
        size_t countAt = 2;
        if (kind == "counter") {
            item.kind = Item::Counter;
        } else if (kind == "random") {
            item.kind = Item::Random;
            if (auto seed = option(st, "seed", 2)) {
                if (!parseNumber(*seed, &v) || v == 0 || v > UINT32_MAX) return "bad seed";
                item.seed = static_cast<uint32_t>(v);
            }
        } else if (kind == "fill" && n > 2 && parseNumber(st.words[2], &v) && v <= 0xFF) {
            item.kind = Item::Fill;
            item.fill = static_cast<uint8_t>(v);
            countAt = 3;
        } else {
            return "expected 'pattern counter|random|fill BYTE [COUNT|*]'";
        }
        item.count = kEndless;
        if (n > countAt && st.words[countAt] != "*" && st.words[countAt].rfind("seed=", 0) != 0 &&
            !parseNumber(st.words[countAt], &item.count))
            return "bad count '" + st.words[countAt] + "'";
        s.items.push_back(std::move(item));
    } else if (k == "chunk") {
        if (n != 2 || !parseNumber(st.words[1], &s.chunk) || s.chunk == 0) return "expected 'chunk SIZE' above 0";
    } else if (k == "rate") {
        if (n != 2 || !parseNumber(st.words[1], &v) || v == 0) return "expected 'rate BYTES_PER_SECOND' above 0";
        s.rate = static_cast<double>(v);
    } else {
        static const char* const names[] = {"silent", "zlp", "stall", "repeat"};
        auto at = n == 2 ? std::find(std::begin(names), std::end(names), st.words[1]) : std::end(names);
        if (at == std::end(names)) return "expected 'then silent|zlp|stall|repeat'";
        s.end = static_cast<Source::End>(at - std::begin(names));
    }
    return {};
}

std::string GenericModel::configureReply(const Statement& st) {
    Reply r;
    uint64_t type = 0, request = 0, v = 0;
    size_t n = st.words.size();
    if (n < 4 || !parseNumber(st.words[1], &type) || type > 0xFF || !parseNumber(st.words[2], &request) ||
        request > 0xFF)
        return "expected 'control TYPE REQUEST [value=V] [index=I] reply HEX...'";
    size_t i = 3;
    for (; i < n && st.words[i] != "reply"; ++i) {
        const std::string& w = st.words[i];
        bool isValue = w.rfind("value=", 0) == 0, isIndex = w.rfind("index=", 0) == 0;
        if ((!isValue && !isIndex) || !parseNumber(w.substr(6), &v) || v > 0xFFFF)
            return "unknown control option '" + w + "'";
        (isValue ? r.value : r.index) = static_cast<int>(v);
    }
    if (i == n) return "expected 'reply' in the control statement";
    for (++i; i < n; ++i)
        if (!parseHexBytes(st.words[i], &r.bytes)) return "bad hex bytes '" + st.words[i] + "'";
    r.requestType = static_cast<uint8_t>(type);
    r.request = static_cast<uint8_t>(request);
    replies_.push_back(std::move(r));
    return {};
}

int GenericModel::control(const ControlSetup& setup, uint8_t* data, SimTime) {
    bool in = (setup.requestType & LIBUSB_ENDPOINT_IN) != 0;
    for (const Reply& r : replies_) {
        if (r.requestType != setup.requestType || r.request != setup.request) continue;
        if ((r.value >= 0 && r.value != setup.value) || (r.index >= 0 && r.index != setup.index)) continue;
        if (!in) return setup.length;
        size_t n = std::min<size_t>(r.bytes.size(), setup.length);
        if (n) std::memcpy(data, r.bytes.data(), n);
        return static_cast<int>(n);
    }
    return in ? int{LIBUSB_ERROR_PIPE} : int{setup.length};
}

int GenericModel::writeOut(uint8_t, const uint8_t*, size_t length, SimTime) { return static_cast<int>(length); }

void GenericModel::readRequested(uint8_t endpoint, SimTime now) {
    auto it = sources_.find(endpoint);
    if (it != sources_.end() && !it->second.started) {
        it->second.started = true;
        it->second.start = now;
    }
}

InData GenericModel::readIn(uint8_t endpoint, uint8_t* buffer, size_t room, SimTime now) {
    InData r;
    auto it = sources_.find(endpoint);
    if (it == sources_.end()) return r;
    Source& s = it->second;
    readRequested(endpoint, now);  // a read the core asked for without a submission
    size_t allowed = room;
    if (s.chunk) {
        if (s.chunkLeft == 0) s.chunkLeft = s.chunk;
        allowed = static_cast<size_t>(std::min<uint64_t>(allowed, s.chunkLeft));
    }
    if (s.rate > 0) {
        auto made = static_cast<uint64_t>(static_cast<double>(now - s.start) * s.rate / 1e6);
        allowed = static_cast<size_t>(std::min<uint64_t>(allowed, made > s.delivered ? made - s.delivered : 0));
    }
    size_t n = s.produce(buffer, allowed);
    s.delivered += n;
    if (s.chunk) s.chunkLeft -= n;
    r.bytes = n;
    if (s.exhausted()) {
        // The last bytes go out as a short packet; then the chosen ending.
        r.packetEnd = n > 0 || s.end == Source::Zlp;
        r.stall = n == 0 && s.end == Source::Stall;
        return r;
    }
    if (s.chunk && s.chunkLeft == 0 && n > 0) {
        r.packetEnd = true;
        return r;
    }
    if (s.rate > 0 && n < room) {
        uint64_t want = room - n;
        if (s.chunk) want = std::min(want, s.chunkLeft);
        want = std::min(want, s.remaining());
        double at = std::ceil(static_cast<double>(s.delivered + want) * 1e6 / s.rate);
        r.retryAt = s.start + static_cast<SimTime>(std::min(at, 9e18));
    }
    return r;
}

size_t GenericModel::Source::produce(uint8_t* out, size_t room) {
    size_t n = 0;
    while (n < room) {
        if (exhausted()) {
            // Content of no bytes at all cannot repeat.
            if (end != Repeat || total() == 0) break;
            item = 0;
            offset = 0;
            continue;
        }
        Item& it = items[item];
        uint64_t size = it.size();
        if (offset == 0) random = it.seed;
        size_t take = static_cast<size_t>(std::min<uint64_t>(room - n, size - offset));
        switch (it.kind) {
            case Item::Bytes: std::memcpy(out + n, it.bytes.data() + offset, take); break;
            case Item::Fill: std::memset(out + n, it.fill, take); break;
            case Item::Counter:
                for (size_t i = 0; i < take; ++i) out[n + i] = static_cast<uint8_t>(offset + i);
                break;
            case Item::Random:
                for (size_t i = 0; i < take; ++i) {
                    random ^= random << 13;
                    random ^= random >> 17;
                    random ^= random << 5;
                    out[n + i] = static_cast<uint8_t>(random);
                }
                break;
        }
        n += take;
        offset += take;
        if (offset >= size) {
            ++item;
            offset = 0;
        }
    }
    return n;
}

uint64_t GenericModel::Source::total() const {
    uint64_t sum = 0;
    for (const Item& it : items) {
        if (it.size() == kEndless) return kEndless;
        sum += it.size();
    }
    return sum;
}

uint64_t GenericModel::Source::remaining() const {
    uint64_t total = 0;
    for (size_t i = item; i < items.size(); ++i) {
        const Item& it = items[i];
        if (it.size() == kEndless) return kEndless;
        total += it.size() - (i == item ? offset : 0);
    }
    return total;
}

}  // namespace qwsim
