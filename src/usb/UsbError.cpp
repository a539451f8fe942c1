#include "usb/UsbError.h"

#include <iterator>

namespace vek::io {

namespace {

// Indexed by the negated libusb error code.
const char* const kErrorTexts[] = {
    "Success",
    "Input/Output Error",
    "Invalid parameter",
    "Access denied (insufficient permissions)",
    "No such device (it may have been disconnected)",
    "Entity not found",
    "Resource busy",
    "Operation timed out",
    "Overflow",
    "Pipe error",
    "System call interrupted (perhaps due to signal)",
    "Insufficient memory",
    "Operation not supported or unimplemented on this platform",
    "Other error",
};

// Indexed by the transfer status; 0 (completed) never becomes an error.
const char* const kStatusTexts[] = {
    "Other transfer error",
    "Transfer failed",
    "Transfer timed out",
    "Transfer was cancelled",
    "Endpoint stalled",
    "Device was disconnected",
    "Device sent more data than requested",
};

}  // namespace

std::string UsbErrorProvider::getErrorDescription(err::ErrorRef ref) const {
    auto code = static_cast<int32_t>(ref.code());
    if (code <= 0) {
        // int64 so that INT32_MIN negates safely.
        int64_t index = -int64_t{code};
        return index < static_cast<int64_t>(std::size(kErrorTexts)) ? kErrorTexts[index] : "Other error";
    }
    return code < static_cast<int32_t>(std::size(kStatusTexts)) ? kStatusTexts[code] : "Other transfer error";
}

const UsbErrorProvider& usbErrorProvider() {
    static const UsbErrorProvider provider;
    return provider;
}

bool setUsbError(int code) {
    err::setError(err::kUsbDomain, static_cast<uint32_t>(code));
    return false;
}

}  // namespace vek::io
