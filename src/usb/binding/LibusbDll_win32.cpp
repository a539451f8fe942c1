// libusb loaded from libusb-1.0.dll at run time, so that the program starts, and
// runs every mode that needs no USB, on a machine without the DLL. The libusb
// functions the program calls are defined here and forward to the DLL's.
//
// LoadLibrary and GetProcAddress rather than a delay-load import library: the
// delay-load helper reports a missing DLL or function by raising an exception
// from inside the first call, where the program's failures are values; here the
// failure is a value before the first call, with the DLL's name and place.
#include "foundation/Win32.h"

#include <cstring>
#include <string>

#include "foundation/Error.h"
#include "foundation/SystemError.h"
#include "usb/Libusb.h"
#include "usb/LibusbBinding.h"

namespace {

constexpr const wchar_t* kDllName = L"libusb-1.0.dll";
constexpr const char* kWhereToGetIt = "see \"Windows\" in the README (WINDOWS.txt beside the program)";

// One pointer per libusb function the program calls, of that function's type.
#define QW_LIBUSB_FUNCTIONS(X)                                                                                         \
    X(libusb_init) X(libusb_exit) X(libusb_get_device_list) X(libusb_free_device_list) X(libusb_ref_device)            \
    X(libusb_unref_device) X(libusb_get_device_descriptor) X(libusb_open) X(libusb_close) X(libusb_get_device)         \
    X(libusb_open_device_with_vid_pid) X(libusb_claim_interface) X(libusb_alloc_transfer) X(libusb_submit_transfer)    \
    X(libusb_cancel_transfer) X(libusb_free_transfer) X(libusb_control_transfer) X(libusb_bulk_transfer)               \
    X(libusb_handle_events_timeout) X(libusb_handle_events) X(libusb_interrupt_event_handler)

struct Api {
#define QW_POINTER(name) decltype(&::name) name = nullptr;
    QW_LIBUSB_FUNCTIONS(QW_POINTER)
#undef QW_POINTER
};

// Filled once by loadLibusb on the main thread before any libusb call; the DLL
// stays loaded until the process ends, past the exit of libusb's context.
Api api;

std::wstring programFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::string modulePath(HMODULE module) {
    wchar_t path[MAX_PATH * 2];
    DWORD n = GetModuleFileNameW(module, path, static_cast<DWORD>(std::size(path)));
    return n == 0 ? "libusb-1.0.dll" : vek::win::narrow(path, n);
}

std::string systemText(DWORD code) {
    std::string text = vek::err::winErrorText(code);
    while (!text.empty() && std::strchr(" .\r\n", text.back())) text.pop_back();
    return text.empty() ? "winerror #" + std::to_string(code) : text;
}

bool load() {
    // The current folder is no place to take code from.
    SetDllDirectoryW(L"");
    std::wstring folder = programFolder();
    HMODULE dll = LoadLibraryExW((folder + kDllName).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    DWORD error = GetLastError();
    if (!dll && error == ERROR_MOD_NOT_FOUND) {
        dll = LoadLibraryW(kDllName);
        error = GetLastError();
    }
    if (!dll) {
        vek::err::setFormatStringError(
            "libusb-1.0.dll could not be loaded from beside the program (%s) or the system search path: %s; %s",
            vek::win::narrow(folder).c_str(), systemText(error).c_str(), kWhereToGetIt);
        return false;
    }
#define QW_RESOLVE(name)                                                                                              \
    api.name = reinterpret_cast<decltype(api.name)>(reinterpret_cast<void*>(GetProcAddress(dll, #name)));             \
    if (!api.name) {                                                                                                   \
        vek::err::setFormatStringError("%s has no function %s: libusb 1.0.21 or later is needed; %s",                  \
                                       modulePath(dll).c_str(), #name, kWhereToGetIt);                                 \
        return false;                                                                                                  \
    }
    QW_LIBUSB_FUNCTIONS(QW_RESOLVE)
#undef QW_RESOLVE
    return true;
}

}  // namespace

namespace vek::io {

bool libusbLoadsAtRunTime() { return true; }

bool loadLibusb() {
    static bool tried = false, loaded = false;
    static err::Error failure;
    if (!tried) {
        tried = true;
        loaded = load();
        if (!loaded) failure = err::copyLastError();
    }
    if (!loaded) err::restoreLastError(failure);
    return loaded;
}

}  // namespace vek::io

// The program's libusb calls land here and go on to the DLL's functions.
extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) { return api.libusb_init(ctx); }
void LIBUSB_CALL libusb_exit(libusb_context* ctx) { api.libusb_exit(ctx); }
ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    return api.libusb_get_device_list(ctx, list);
}
void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref) { api.libusb_free_device_list(list, unref); }
libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) { return api.libusb_ref_device(dev); }
void LIBUSB_CALL libusb_unref_device(libusb_device* dev) { api.libusb_unref_device(dev); }
int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    return api.libusb_get_device_descriptor(dev, desc);
}
int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) { return api.libusb_open(dev, handle); }
void LIBUSB_CALL libusb_close(libusb_device_handle* handle) { api.libusb_close(handle); }
libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) { return api.libusb_get_device(handle); }
libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx, uint16_t vid, uint16_t pid) {
    return api.libusb_open_device_with_vid_pid(ctx, vid, pid);
}
int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int number) {
    return api.libusb_claim_interface(handle, number);
}
libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets) { return api.libusb_alloc_transfer(isoPackets); }
int LIBUSB_CALL libusb_submit_transfer(libusb_transfer* transfer) { return api.libusb_submit_transfer(transfer); }
int LIBUSB_CALL libusb_cancel_transfer(libusb_transfer* transfer) { return api.libusb_cancel_transfer(transfer); }
void LIBUSB_CALL libusb_free_transfer(libusb_transfer* transfer) { api.libusb_free_transfer(transfer); }
int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t type, uint8_t request, uint16_t value,
                                        uint16_t index, unsigned char* data, uint16_t length, unsigned int timeout) {
    return api.libusb_control_transfer(handle, type, request, value, index, data, length, timeout);
}
int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* transferred, unsigned int timeout) {
    return api.libusb_bulk_transfer(handle, endpoint, data, length, transferred, timeout);
}
int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
    return api.libusb_handle_events_timeout(ctx, tv);
}
int LIBUSB_CALL libusb_handle_events(libusb_context* ctx) { return api.libusb_handle_events(ctx); }
void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context* ctx) { api.libusb_interrupt_event_handler(ctx); }

}  // extern "C"
