#include "foundation/ErrorMgr.h"

#include "foundation/ErrorProviders.h"
#include "foundation/ThreadSlot.h"

namespace vek::err {

ErrorMgr::ErrorMgr() {
    registerProvider(kStdDomain, &stdErrorProvider());
    registerProvider(kErrnoDomain, &errnoProvider());
    registerProvider(kWinDomain, &winErrorProvider());
    registerProvider(kNtStatusDomain, &ntStatusProvider());
    registerProvider(kCfgMgrDomain, &cfgMgrErrorProvider());
}

ErrorMgr& getErrorMgr() {
    static ErrorMgr mgr;
    return mgr;
}

void ErrorMgr::registerProvider(const Guid& guid, const ErrorProvider* provider) {
    std::lock_guard<std::mutex> hold(lock_);
    providers_[guid] = provider;
}

const ErrorProvider* ErrorMgr::findProvider(const Guid& guid) const {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = providers_.find(guid);
    return it == providers_.end() ? nullptr : it->second;
}

std::string ErrorMgr::describe(ErrorRef ref) const {
    if (ref.empty()) ref = noError();
    Guid guid = ref.guid();
    if (const ErrorProvider* provider = findProvider(guid)) return provider->getErrorDescription(ref);
    return guidToString(guid) + sl::formatString("::%d", static_cast<int32_t>(ref.code()));
}

void ErrorMgr::routeError(const ErrorHdr* hdr) { setError(ErrorRef::fromRecord(hdr)); }

const char* ErrorMgr::getErrorDescription(const ErrorHdr* hdr) {
    static const sys::ThreadSlot<std::string> slot;
    std::string& text = slot.get();
    text = describe(ErrorRef::fromRecord(hdr));
    return text.c_str();
}

}  // namespace vek::err
