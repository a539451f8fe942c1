#include "foundation/ErrorProviders.h"

#include <array>

#include "foundation/Format.h"
#include "foundation/SystemError.h"

namespace vek::err {

std::string StdErrorProvider::getErrorDescription(ErrorRef ref) const {
    if (ref.recordSize() < kHeaderSize) return {};
    switch (ref.code()) {
        case kNoError:
            return "no error";
        case kTextMessage: {
            std::string_view text = ref.payload();
            if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
            return std::string(text);
        }
        case kComposite: {
            // Walk the contained records by their size fields; a record that is too
            // short or reaches past the end of the payload ends the walk.
            std::string out;
            std::string_view rest = ref.payload();
            while (rest.size() >= kHeaderSize) {
                ErrorRef inner(rest.data(), rest.size());
                uint32_t size = inner.recordSize();
                if (size < kHeaderSize || size > rest.size()) break;
                std::string text = getErrorMgr().describe(ErrorRef(rest.data(), size));
                if (!out.empty()) out += ": ";
                out += text;
                rest.remove_prefix(size);
            }
            return out;
        }
        default:
            return sl::formatString("error #%d", static_cast<int32_t>(ref.code()));
    }
}

std::string ErrnoProvider::getErrorDescription(ErrorRef ref) const {
    return errnoText(static_cast<int>(ref.code()));
}

std::string WinErrorProvider::getErrorDescription(ErrorRef ref) const {
    uint32_t code = ref.code();
    std::string text = winErrorText(code);
    if (text.empty()) {
        // Retry the code as an HRESULT: setup-API errors and plain Win32 codes.
        uint32_t converted = code;
        if ((code & 0xE0000000u) == 0xE0000000u)
            converted = (code & 0xFFFFu) | 0x800F0000u;
        else if (static_cast<int32_t>(code) > 0)
            converted = (code & 0xFFFFu) | 0x80070000u;
        if (converted != code) text = winErrorText(converted);
    }
    if (text.empty()) text = sl::formatString("winerror #%d", static_cast<int32_t>(code));
    return text;
}

std::string NtStatusProvider::getErrorDescription(ErrorRef ref) const { return ntStatusText(ref.code()); }

namespace {

constexpr std::array<const char*, 60> kCfgMgrNames = {
    "CR_SUCCESS", "CR_DEFAULT", "CR_OUT_OF_MEMORY", "CR_INVALID_POINTER", "CR_INVALID_FLAG",
    "CR_INVALID_DEVINST", "CR_INVALID_RES_DES", "CR_INVALID_LOG_CONF", "CR_INVALID_ARBITRATOR",
    "CR_INVALID_NODELIST", "CR_DEVINST_HAS_REQS", "CR_INVALID_RESOURCEID", "CR_DLVXD_NOT_FOUND",
    "CR_NO_SUCH_DEVINST", "CR_NO_MORE_LOG_CONF", "CR_NO_MORE_RES_DES", "CR_ALREADY_SUCH_DEVINST",
    "CR_INVALID_RANGE_LIST", "CR_INVALID_RANGE", "CR_FAILURE", "CR_NO_SUCH_LOGICAL_DEV", "CR_CREATE_BLOCKED",
    "CR_NOT_SYSTEM_VM", "CR_REMOVE_VETOED", "CR_APM_VETOED", "CR_INVALID_LOAD_TYPE", "CR_BUFFER_SMALL",
    "CR_NO_ARBITRATOR", "CR_NO_REGISTRY_HANDLE", "CR_REGISTRY_ERROR", "CR_INVALID_DEVICE_ID",
    "CR_INVALID_DATA", "CR_INVALID_API", "CR_DEVLOADER_NOT_READY", "CR_NEED_RESTART",
    "CR_NO_MORE_HW_PROFILES", "CR_DEVICE_NOT_THERE", "CR_NO_SUCH_VALUE", "CR_WRONG_TYPE",
    "CR_INVALID_PRIORITY", "CR_NOT_DISABLEABLE", "CR_FREE_RESOURCES", "CR_QUERY_VETOED", "CR_CANT_SHARE_IRQ",
    "CR_NO_DEPENDENT", "CR_SAME_RESOURCES", "CR_NO_SUCH_REGISTRY_KEY", "CR_INVALID_MACHINENAME",
    "CR_REMOTE_COMM_FAILURE", "CR_MACHINE_UNAVAILABLE", "CR_NO_CM_SERVICES", "CR_ACCESS_DENIED",
    "CR_CALL_NOT_IMPLEMENTED", "CR_INVALID_PROPERTY", "CR_DEVICE_INTERFACE_ACTIVE",
    "CR_NO_SUCH_DEVICE_INTERFACE", "CR_INVALID_REFERENCE_STRING", "CR_INVALID_CONFLICT_LIST",
    "CR_INVALID_INDEX", "CR_INVALID_STRUCTURE_SIZE",
};

}  // namespace

std::string CfgMgrErrorProvider::getErrorDescription(ErrorRef ref) const {
    uint32_t code = ref.code();
    if (code < kCfgMgrNames.size()) return kCfgMgrNames[code];
    return sl::formatString("CR_ERROR_0x%04x", code);
}

const StdErrorProvider& stdErrorProvider() {
    static const StdErrorProvider provider;
    return provider;
}
const ErrnoProvider& errnoProvider() {
    static const ErrnoProvider provider;
    return provider;
}
const WinErrorProvider& winErrorProvider() {
    static const WinErrorProvider provider;
    return provider;
}
const NtStatusProvider& ntStatusProvider() {
    static const NtStatusProvider provider;
    return provider;
}
const CfgMgrErrorProvider& cfgMgrErrorProvider() {
    static const CfgMgrErrorProvider provider;
    return provider;
}

}  // namespace vek::err
