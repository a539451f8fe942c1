#pragma once
// The USB error domain: libusb error codes (0 and below) and transfer statuses
// (above 0) share one domain; the sign tells them apart.

#include "foundation/ErrorMgr.h"

namespace vek::io {

// Texts for USB-domain records. Stateless; registered by startUsbLayer.
class UsbErrorProvider final : public err::ErrorProvider {
public:
    std::string getErrorDescription(err::ErrorRef ref) const override;
};

const UsbErrorProvider& usbErrorProvider();

// Stores the USB-domain record with this code as the calling thread's last error.
// Returns false, so a failing path can `return setUsbError(r);`.
bool setUsbError(int code);

}  // namespace vek::io
