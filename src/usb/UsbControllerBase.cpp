// The controller life cycle: finding the device, starting and stopping the
// capture threads, closing. The read pipeline itself is in UsbReadPipeline.cpp.
#include "usb/UsbControllerBase.h"

#include "session/Message.h"
#include "foundation/Error.h"
#include "foundation/Thread.h"
#include "usb/Libusb.h"
#include "usb/UsbAccess.h"
#include "usb/UsbDeviceList.h"
#include "usb/UsbError.h"
#include "usb/UsbStartup.h"

UsbControllerBase::UsbControllerBase(const Settings* settings) : ControllerBase(settings) {}

UsbControllerBase::~UsbControllerBase() {
    // The owner ran waitAndClose; if not, at least do not leave threads behind.
    if (readThread.joinable() || processThread.joinable()) {
        stop();
        if (readThread.joinable()) readThread.join();
        if (processThread.joinable()) processThread.join();
    }
    completedList.clear();
    freeList.clear();
    device.setDevice(nullptr);
}

bool UsbControllerBase::findDevice(uint16_t vid, uint16_t pid) {
    vek::io::UsbDeviceList list;
    if (!list.load(vid, pid)) return false;
    uint64_t count = list.devices().size();
    if (settings->deviceIndex >= count) {
        vek::err::setFormatStringError("plim[%d] not available; %d plim(s) total\n",
                                       static_cast<int>(settings->deviceIndex), static_cast<int>(count));
        return false;
    }
    device.setDevice(list.devices()[settings->deviceIndex]);
    if (device.open()) return true;
    int code = static_cast<int32_t>(vek::err::getLastError().code());
    vek::err::addErrorContextF("USB device %04x:%04x #%llu%s%s", vid, pid,
                               static_cast<unsigned long long>(settings->deviceIndex),
                               code == LIBUSB_ERROR_ACCESS ? " cannot be opened without permission; " : "",
                               code == LIBUSB_ERROR_ACCESS ? vek::io::usbAccessHint() : "");
    return false;
}

bool UsbControllerBase::startThreads() {
    if (readThread.joinable() || processThread.joinable()) return true;
    stateFlags = 0;
    {
        std::lock_guard<std::mutex> hold(lock);
        readFailure_.clear();
    }
    readEvent.set();
    processEvent.set();
    if (!vek::sys::startThread(readThread, &UsbControllerBase::readThreadMain, this)) return false;
    if (vek::sys::startThread(processThread, &UsbControllerBase::processThreadMain, this)) return true;
    // The read thread is there already: it must end before the controller goes idle.
    vek::err::Error cause = vek::err::copyLastError();
    stop();
    readThread.join();
    vek::err::restoreLastError(cause);
    return false;
}

void UsbControllerBase::stop() {
    std::lock_guard<std::mutex> hold(lock);
    stateFlags |= kStopRequested;
    readEvent.set();
    processEvent.set();
}

void UsbControllerBase::waitAndClose() {
    if (readThread.joinable()) readThread.join();
    if (processThread.joinable()) processThread.join();
    device.close();
    std::lock_guard<std::mutex> hold(lock);
    // Reads that completed after the stop are not processed; their blocks wait in
    // the free list for the next start, like every other block.
    freeList.append(completedList);
    stateFlags = kClosed;
}

bool UsbControllerBase::drainEndpoint(uint8_t endpoint) {
    unsigned char buffer[kDrainBufferSize];
    for (;;) {
        int got = 0;
        int r = libusb_bulk_transfer(device.handle(), endpoint, buffer, sizeof buffer, &got, kDrainTimeoutMs);
        if (r != 0) {
            vek::io::setUsbError(r);
            return r == LIBUSB_ERROR_TIMEOUT;  // quiet for 500 ms counts as empty
        }
        if (got == 0) return true;
    }
}

void UsbControllerBase::failCapture() {
    // Both threads may fail at once (a device unplugged); the host hears the first cause only.
    if (recordCaptureFailure() && outputTransport) writeErrorMessage(*outputTransport);
    if (TransportBase* command = commandTransport.load()) command->close();
    stop();
}
