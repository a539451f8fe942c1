#include <cerrno>
#include <cstring>
#include <map>

#include "foundation/Error.h"
#include "foundation/Format.h"
#include "foundation/SystemError.h"

namespace vek::err {

bool setSystemError() {
    setErrnoError(errno);
    return false;
}

bool setSocketError() { return setSystemError(); }

namespace {
// strerror_r comes in a GNU form (returns the text) and an XSI form (fills the buffer).
[[maybe_unused]] const char* pickText(const char* gnuResult, const char*) { return gnuResult; }
[[maybe_unused]] const char* pickText(int, const char* buffer) { return buffer; }
}  // namespace

std::string errnoText(int code) {
    char buffer[512] = {};
    const char* text = pickText(strerror_r(code, buffer, sizeof buffer - 1), buffer);
    return text ? std::string(text) : std::string();
}

std::string winErrorText(uint32_t code) {
    // The Windows codes this program raises itself travel in records on every
    // platform; these are the system's texts for them.
    static const std::map<uint32_t, const char*> kTexts = {
        {2, "The system cannot find the file specified."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {50, "The request is not supported."},
        {87, "The parameter is incorrect."},
        {109, "The pipe has been ended."},
        {120, "This function is not supported on this system."},
        {122, "The data area passed to a system call is too small."},
        {232, "The pipe is being closed."},
        {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
        {1450, "Insufficient system resources exist to complete the requested service."},
        {1609, "Handle is in an invalid state."},
    };
    auto it = kTexts.find(code);
    return it == kTexts.end() ? std::string() : std::string(it->second);
}

std::string ntStatusText(uint32_t status) { return sl::formatString("ntstatus 0x%08x", status); }

}  // namespace vek::err
