// libusb entry points for contexts, devices, handles and control requests.
#include <cstdlib>
#include <cstring>

#include "Engine.h"
#include "Export.h"


using qwsim::Engine;
using qwsim::SimDevice;

namespace {

using Lock = std::lock_guard<std::mutex>;

void unrefLocked(Engine& e, libusb_device* dev) {
    SimDevice& d = *dev->sim;
    if (d.refs <= 0)
        e.misuse("libusb_unref_device of the unreferenced device " + d.name);
    else
        --d.refs;
}

int openLocked(Engine& e, libusb_device* dev, libusb_device_handle** handle) {
    SimDevice& d = *dev->sim;
    if (d.disconnected) return LIBUSB_ERROR_NO_DEVICE;
    if (d.openError) return d.openError;
    *handle = new libusb_device_handle{dev};
    ++d.refs;
    if (++d.handles == 1) d.model->opened();
    (void)e;
    return 0;
}

// The device behind a handle, or null after recording the misuse.
SimDevice* deviceOf(Engine& e, libusb_device_handle* h, const char* function) {
    if (h && h->dev) return h->dev->sim;
    e.misuse(std::string(function) + " without a device handle");
    return nullptr;
}

}  // namespace

extern "C" {

QWSIM_API int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    Engine& e = Engine::get();
    Lock hold(e.mutex);
    if (!e.ensureLoaded()) return LIBUSB_ERROR_OTHER;
    if (e.settings.initError) {
        e.record("init failed error=" + std::to_string(e.settings.initError));
        return e.settings.initError;
    }
    if (ctx) {
        *ctx = new libusb_context;
        e.contexts.insert(*ctx);
        e.record("init context");
    } else {
        ++e.defaultRefs;
        e.record("init");
    }
    return 0;
}

QWSIM_API void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
    Engine& e = Engine::get();
    Lock hold(e.mutex);
    if (ctx) {
        if (e.contexts.erase(ctx))
            delete ctx;
        else
            e.misuse("libusb_exit with an unknown context");
        if (e.defaultRefs == 0 && e.contexts.empty()) e.pauseRecord();
        return;
    }
    if (e.defaultRefs <= 0) {
        e.misuse("libusb_exit without libusb_init");
        return;
    }
    --e.defaultRefs;
    size_t handles = 0;
    for (auto& d : e.devices) handles += static_cast<size_t>(d->handles);
    e.record("exit refs=" + std::to_string(e.defaultRefs) + " busy=" + std::to_string(e.busy) +
             " handles=" + std::to_string(handles) + " transfers=" + std::to_string(e.liveTransfers));
    if (e.busy > 0) e.misuse("libusb_exit while a thread is handling events");
    if (e.defaultRefs == 0 && e.contexts.empty()) e.pauseRecord();
}

QWSIM_API ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    Engine& e = Engine::get();
    Lock hold(e.mutex);
    if (!e.contextOk(ctx, "libusb_get_device_list")) return LIBUSB_ERROR_OTHER;
    if (e.settings.listError) return e.settings.listError;
    size_t n = 0;
    for (auto& d : e.devices) n += d->disconnected ? 0 : 1;
    auto** out = static_cast<libusb_device**>(std::calloc(n + 1, sizeof(libusb_device*)));
    if (!out) return LIBUSB_ERROR_NO_MEM;
    size_t i = 0;
    for (auto& d : e.devices) {
        if (d->disconnected) continue;
        ++d->refs;
        out[i++] = &d->usbDevice;
    }
    *list = out;
    return static_cast<ssize_t>(n);
}

QWSIM_API void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unrefDevices) {
    if (!list) return;
    Engine& e = Engine::get();
    {
        Lock hold(e.mutex);
        if (unrefDevices)
            for (libusb_device** p = list; *p; ++p) unrefLocked(e, *p);
    }
    std::free(list);
}

QWSIM_API libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
    Engine& e = Engine::get();
    Lock hold(e.mutex);
    ++dev->sim->refs;
    return dev;
}

QWSIM_API void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
    if (!dev) return;
    Engine& e = Engine::get();
    Lock hold(e.mutex);
    unrefLocked(e, dev);
}

QWSIM_API int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    Engine& e = Engine::get();
    Lock hold(e.mutex);
    SimDevice& d = *dev->sim;
    if (d.descriptorError) return d.descriptorError;
    std::memset(desc, 0, sizeof *desc);
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bDeviceClass = LIBUSB_CLASS_VENDOR_SPEC;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = d.vid;
    desc->idProduct = d.pid;
    desc->bcdDevice = 0x0100;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = d.serial.empty() ? 0 : 3;
    desc->bNumConfigurations = 1;
    return 0;
}

QWSIM_API uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) { return 1; }

QWSIM_API uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
    Engine& e = Engine::get();
    Lock hold(e.mutex);
    for (size_t i = 0; i < e.devices.size(); ++i)
        if (&e.devices[i]->usbDevice == dev) return static_cast<uint8_t>(i + 1);
    return 0;
}

QWSIM_API int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) {
    Engine& e = Engine::get();
    Lock hold(e.mutex);
    return openLocked(e, dev, handle);
}

QWSIM_API libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx, uint16_t vid,
                                                                           uint16_t pid) {
    Engine& e = Engine::get();
    Lock hold(e.mutex);
    if (!e.contextOk(ctx, "libusb_open_device_with_vid_pid")) return nullptr;
    for (auto& d : e.devices) {
        if (d->disconnected || d->descriptorError || d->vid != vid || d->pid != pid) continue;
        libusb_device_handle* h = nullptr;
        return openLocked(e, &d->usbDevice, &h) == 0 ? h : nullptr;
    }
    return nullptr;
}

QWSIM_API libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* h) { return h->dev; }

QWSIM_API void LIBUSB_CALL libusb_close(libusb_device_handle* h) {
    if (!h) return;
    Engine& e = Engine::get();
    Lock hold(e.mutex);
    SimDevice& d = *h->dev->sim;
    if (h->inFlight > 0) {
        // Completions still point at the handle, so it stays allocated.
        e.misuse("libusb_close of " + d.name + " with transfers in flight");
        return;
    }
    d.claimed &= ~h->claimed;
    --d.refs;
    if (--d.handles == 0) d.model->closed();
    delete h;
}

QWSIM_API int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* h, int n) {
    Engine& e = Engine::get();
    Lock hold(e.mutex);
    SimDevice* d = deviceOf(e, h, "libusb_claim_interface");
    if (!d) return LIBUSB_ERROR_INVALID_PARAM;
    if (d->disconnected) return LIBUSB_ERROR_NO_DEVICE;
    if (d->claimError) return d->claimError;
    if (n < 0 || n >= d->model->interfaceCount() || n >= 32) return LIBUSB_ERROR_NOT_FOUND;
    uint32_t bit = uint32_t{1} << n;
    if ((d->claimed & bit) && !(h->claimed & bit)) return LIBUSB_ERROR_BUSY;
    d->claimed |= bit;
    h->claimed |= bit;
    return 0;
}

QWSIM_API int LIBUSB_CALL libusb_release_interface(libusb_device_handle* h, int n) {
    Engine& e = Engine::get();
    Lock hold(e.mutex);
    SimDevice* d = deviceOf(e, h, "libusb_release_interface");
    if (!d) return LIBUSB_ERROR_INVALID_PARAM;
    uint32_t bit = n >= 0 && n < 32 ? uint32_t{1} << n : 0;
    if (!(h->claimed & bit)) return LIBUSB_ERROR_NOT_FOUND;
    h->claimed &= ~bit;
    d->claimed &= ~bit;
    return d->disconnected ? LIBUSB_ERROR_NO_DEVICE : 0;
}

QWSIM_API int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* h, uint8_t requestType, uint8_t request,
                                                  uint16_t value, uint16_t index, unsigned char* data,
                                                  uint16_t length, unsigned int timeout) {
    Engine& e = Engine::get();
    Lock hold(e.mutex);
    SimDevice* d = deviceOf(e, h, "libusb_control_transfer");
    if (!d) return LIBUSB_ERROR_INVALID_PARAM;
    if (d->disconnected) return LIBUSB_ERROR_NO_DEVICE;
    if (length && !data) return LIBUSB_ERROR_INVALID_PARAM;
    return e.runControl(*d, qwsim::ControlSetup{requestType, request, value, index, length}, data, timeout);
}

}  // extern "C"
