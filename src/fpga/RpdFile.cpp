#include "fpga/RpdFile.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "foundation/Error.h"
#include "foundation/File.h"

namespace {

constexpr size_t kVersionOffset = 4;
constexpr size_t kTagOffset = 16;
constexpr size_t kTagSize = 16;
constexpr size_t kReadChunk = size_t{1} << 16;

}  // namespace

bool RpdFile::load(std::string_view path) {
    close();
    std::unique_ptr<vek::io::Stream> file = vek::io::openFile(path, vek::io::FileMode::kReadExisting);
    if (!file) return false;
    for (;;) {
        size_t have = bytes_.size();
        bytes_.resize(have + kReadChunk);
        size_t got = file->read(bytes_.data() + have, kReadChunk);
        if (got == vek::io::kStreamFailed) {
            close();
            return false;
        }
        bytes_.resize(have + got);
        if (got == 0) break;
    }
    if (bytes_.size() < kHeaderSize) {
        // Nothing in it could be uploaded, and its header fields would be read
        // past its end.
        vek::err::setFormatStringError("firmware file %.*s is shorter than its %u-byte header (%u bytes)",
                                       static_cast<int>(path.size()), path.data(), static_cast<unsigned>(kHeaderSize),
                                       static_cast<unsigned>(bytes_.size()));
        close();
        return false;
    }
    return true;
}

void RpdFile::close() {
    bytes_.clear();
    bytes_.shrink_to_fit();
}

std::array<uint8_t, 4> RpdFile::version() const {
    std::array<uint8_t, 4> v{};
    if (bytes_.size() >= kHeaderSize) std::memcpy(v.data(), bytes_.data() + kVersionOffset, v.size());
    return v;
}

std::string RpdFile::tag() const {
    if (bytes_.size() < kHeaderSize) return {};
    const char* field = reinterpret_cast<const char*>(bytes_.data() + kTagOffset);
    return std::string(field, std::find(field, field + kTagSize, '\0'));
}
