// Serial ports from SetupAPI: the present devices of the Ports class, each named
// by the "PortName" value of its device key.

#include <algorithm>

#include "foundation/SystemError.h"
#include "foundation/Win32.h"
#include "serial/SerialPortEnum.h"

namespace {

// GUID_DEVCLASS_PORTS, {4D36E978-E325-11CE-BFC1-08002BE10318}.
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The string value, or empty when it is missing or not a string. A value stored
// without its terminating NUL is read safely all the same.
std::string readPortName(HKEY key) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, L"PortName", nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
        return {};
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
        ERROR_SUCCESS)
        return {};
    text.resize(std::min(text.find(L'\0'), size / sizeof(wchar_t)));
    return vek::win::narrow(text);
}

}  // namespace

std::vector<SerialPortInfo> enumerateSerialPorts() {
    std::vector<SerialPortInfo> ports;
    HDEVINFO devices = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        vek::err::setSystemError();
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!SetupDiEnumDeviceInfo(devices, index, &info)) break;
        HKEY key = SetupDiOpenDevRegKey(devices, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
        if (key == INVALID_HANDLE_VALUE) continue;
        // Kept even without a name: the port is there.
        ports.push_back({readPortName(key), {}});
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(devices);
    return ports;
}
