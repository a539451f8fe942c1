#include "foundation/Error.h"

#include <algorithm>
#include <cstring>

#include "foundation/ErrorMgr.h"
#include "foundation/ThreadSlot.h"

namespace vek::err {

namespace {

uint32_t readU32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

constexpr ErrorHdr kNoErrorRecord{kHeaderSize, kStdDomain, kNoError};

// The calling thread's last error (see ThreadSlot.h for why no thread_local).
Error& lastError() {
    static const sys::ThreadSlot<Error> slot;
    return slot.get();
}

}  // namespace

ErrorRef ErrorRef::fromRecord(const void* record) {
    if (!record) return {};
    uint32_t size = readU32(static_cast<const uint8_t*>(record));
    return ErrorRef(record, std::max<size_t>(size, kHeaderSize));
}

uint32_t ErrorRef::recordSize() const { return size_ >= 4 ? readU32(bytes_) : 0; }

Guid ErrorRef::guid() const {
    Guid g{};
    if (size_ >= 20) std::memcpy(&g, bytes_ + 4, sizeof g);
    return g;
}

uint32_t ErrorRef::code() const { return size_ >= kHeaderSize ? readU32(bytes_ + 20) : 0; }

std::string_view ErrorRef::payload() const {
    size_t end = std::min<size_t>(recordSize(), size_);
    if (end <= kHeaderSize) return {};
    return std::string_view(reinterpret_cast<const char*>(bytes_) + kHeaderSize, end - kHeaderSize);
}

void Error::assign(ErrorRef ref) {
    context_.clear();
    if (ref.empty()) {
        bytes_.clear();
        return;
    }
    if (ref.data() == bytes_.data()) return;
    bytes_.assign(ref.data(), ref.data() + ref.size());
}

Error Error::fromCode(const Guid& guid, uint32_t code) {
    ErrorHdr hdr{kHeaderSize, guid, code};
    Error e;
    e.bytes_.resize(kHeaderSize);
    std::memcpy(e.bytes_.data(), &hdr, kHeaderSize);
    return e;
}

Error Error::fromText(std::string_view text) {
    // The text travels with one terminating NUL.
    uint32_t size = static_cast<uint32_t>(kHeaderSize + text.size() + 1);
    ErrorHdr hdr{size, kStdDomain, kTextMessage};
    Error e;
    e.bytes_.resize(size);
    std::memcpy(e.bytes_.data(), &hdr, kHeaderSize);
    if (!text.empty()) std::memcpy(e.bytes_.data() + kHeaderSize, text.data(), text.size());
    e.bytes_[size - 1] = 0;
    return e;
}

ErrorRef noError() { return ErrorRef(&kNoErrorRecord, kHeaderSize); }

size_t setError(ErrorRef ref) {
    Error& last = lastError();
    last.assign(ref);
    return last.ref().size();
}

size_t setError(const Guid& guid, uint32_t code) {
    lastError() = Error::fromCode(guid, code);
    return kHeaderSize;
}

size_t setWinError(uint32_t code) { return setError(kWinDomain, code); }

size_t setErrnoError(int code) { return setError(kErrnoDomain, static_cast<uint32_t>(code)); }

size_t setStringError(std::string_view text) {
    Error& last = lastError();
    last = Error::fromText(text);
    return last.ref().size();
}

size_t setFormatStringError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = sl::formatStringV(format, args);
    va_end(args);
    return setStringError(text);
}

ErrorRef getLastError() {
    ErrorRef ref = lastError().ref();
    return ref.empty() ? noError() : ref;
}

bool addErrorContext(std::string_view text) {
    Error& last = lastError();
    std::string context(text);
    if (!last.context().empty()) context += ": " + last.context();
    last.setContext(std::move(context));
    return false;
}

bool addErrorContextF(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = sl::formatStringV(format, args);
    va_end(args);
    return addErrorContext(text);
}

void setErrorContext(std::string text) { lastError().setContext(std::move(text)); }

const std::string& getLastErrorContext() { return lastError().context(); }

Error copyLastError() {
    Error copy(getLastError());
    copy.setContext(lastError().context());
    return copy;
}

void restoreLastError(const Error& error) {
    Error& last = lastError();
    last.assign(error.ref());
    last.setContext(error.context());
}

std::string getErrorDescription(ErrorRef ref) { return getErrorMgr().describe(ref); }

std::string getLastErrorDescription() { return getErrorDescription(getLastError()); }

std::string getLastErrorMessage() {
    std::string description = getLastErrorDescription();
    const std::string& context = lastError().context();
    if (context.empty()) return description;
    return description.empty() ? context : context + ": " + description;
}

}  // namespace vek::err
