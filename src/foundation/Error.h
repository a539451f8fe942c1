#pragma once
// Error records and the per-thread last error.
//
// Every operation that can fail stores a record as the calling thread's last error
// and returns a failure value (false, all-ones size, null). A record is a 24-byte
// header {u32 size, Guid domain, u32 code} followed by domain-specific payload,
// little-endian and contiguous; the same bytes travel to the host as the payload of
// an error message, so the layout is fixed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Format.h"
#include "foundation/Guid.h"

namespace vek::err {

struct ErrorHdr {
    uint32_t size;  // whole record, header included; never below 24 when well formed
    Guid guid;
    uint32_t code;
};
static_assert(sizeof(ErrorHdr) == 24);

constexpr size_t kHeaderSize = sizeof(ErrorHdr);

// Error domains.
inline constexpr Guid kStdDomain{0x00000000, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr Guid kErrnoDomain{0x25A6A7B5, 0xF662, 0x48AE, {0xBC, 0xB6, 0x9A, 0x5C, 0xB5, 0xCE, 0x5B, 0xB9}};
inline constexpr Guid kWinDomain{0x54E100E8, 0x2137, 0x40B8, {0xBC, 0xD8, 0x00, 0xAC, 0x1D, 0x0B, 0xAA, 0x16}};
inline constexpr Guid kNtStatusDomain{0x81443347, 0x3BC9, 0x4D5E, {0x8B, 0x23, 0x32, 0xD7, 0x80, 0xED, 0xB5, 0x2B}};
inline constexpr Guid kCfgMgrDomain{0x8F392936, 0x624E, 0x4EFF, {0x85, 0xCA, 0xA4, 0x9E, 0xC0, 0x7A, 0xB0, 0x41}};
inline constexpr Guid kUsbDomain{0x87EA0738, 0x52E9, 0x4769, {0xB7, 0x27, 0x7A, 0x17, 0x37, 0x7B, 0x92, 0x1E}};

// Codes of the standard domain.
enum StdCode : uint32_t { kNoError = 0, kTextMessage = 1, kComposite = 2 };

// Windows error codes the program raises itself, on every platform (they travel to
// the host inside error records).
enum WinCode : uint32_t {
    kWinFileNotFound = 2,
    kWinInvalidParameter = 87,
    kWinCallNotImplemented = 120,
    kWinInsufficientBuffer = 122,
    kWinNoSystemResources = 1450,
    kWinInvalidHandleState = 1609,
};

// A non-owning view of one record. Built from a bare record pointer, its size is
// max(record size field, 24).
class ErrorRef {
public:
    ErrorRef() = default;
    ErrorRef(const void* bytes, size_t size) : bytes_(static_cast<const uint8_t*>(bytes)), size_(size) {}
    static ErrorRef fromRecord(const void* record);

    bool empty() const { return bytes_ == nullptr || size_ == 0; }
    const uint8_t* data() const { return bytes_; }
    size_t size() const { return size_; }

    // Header fields, read without alignment assumptions. An empty or short view
    // reads as zeros.
    uint32_t recordSize() const;
    Guid guid() const;
    uint32_t code() const;
    // Payload bytes: from offset 24 to the smaller of the record's size field and
    // the view's size.
    std::string_view payload() const;

private:
    const uint8_t* bytes_ = nullptr;
    size_t size_ = 0;
};

// An owning copy of one record, with the console context that came with it.
class Error {
public:
    Error() = default;
    explicit Error(ErrorRef ref) { assign(ref); }
    // Takes the record; the context goes.
    void assign(ErrorRef ref);
    void clear() {
        bytes_.clear();
        context_.clear();
    }
    bool empty() const { return bytes_.empty(); }
    ErrorRef ref() const { return bytes_.empty() ? ErrorRef() : ErrorRef(bytes_.data(), bytes_.size()); }

    // What failed, for the console ("serial port /dev/ttyS0"); never part of
    // the record, so never sent to the host.
    const std::string& context() const { return context_; }
    void setContext(std::string text) { context_ = std::move(text); }

    // Record builders.
    static Error fromCode(const Guid& guid, uint32_t code);
    static Error fromText(std::string_view text);

private:
    std::vector<uint8_t> bytes_;
    std::string context_;
};

// The static "no error" record {24, standard domain, 0}.
ErrorRef noError();

// Storing the calling thread's last error. Each returns the stored size, so a
// caller may write `return setWinError(87), false;` or simply call and return.
size_t setError(ErrorRef ref);  // an empty view clears the last error
size_t setError(const Guid& guid, uint32_t code);
size_t setWinError(uint32_t code);
size_t setErrnoError(int code);
size_t setStringError(std::string_view text);
size_t setFormatStringError(const char* format, ...) VEK_PRINTF_FORMAT(1, 2);

// The calling thread's last error, or the "no error" record. The view stays valid
// until this thread stores another error.
ErrorRef getLastError();

// Console context of the last error: names what failed, in front of the
// system's description on the console. Every set*Error above clears it. A
// context already there is kept behind the new one ("serial port X: 1.5 stop
// bits need 5 data bits"). Returns false for `return failWithContext(...)`.
bool addErrorContext(std::string_view text);
void setErrorContext(std::string text);  // replaces what is there
bool addErrorContextF(const char* format, ...) VEK_PRINTF_FORMAT(1, 2);
const std::string& getLastErrorContext();

// An owning copy of the last error with its context, to carry it to another
// thread, and its restoration there.
Error copyLastError();
void restoreLastError(const Error& error);

std::string getErrorDescription(ErrorRef ref);
std::string getLastErrorDescription();
// The console line's text: "context: description", or the description alone.
std::string getLastErrorMessage();

}  // namespace vek::err
