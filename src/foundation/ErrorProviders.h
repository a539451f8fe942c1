#pragma once
// The providers of the built-in error domains. Each is one stateless process-wide
// instance, built on first use.

#include "foundation/ErrorMgr.h"

namespace vek::err {

// Standard domain: 0 "no error", 1 text message (payload is the text, NUL-ended),
// 2 composite (records back to back), anything else "error #<code>".
class StdErrorProvider final : public ErrorProvider {
public:
    std::string getErrorDescription(ErrorRef ref) const override;
};

// errno values, described by the C library.
class ErrnoProvider final : public ErrorProvider {
public:
    std::string getErrorDescription(ErrorRef ref) const override;
};

// Win32 codes and HRESULTs. On Windows the system's message table; elsewhere a
// table of the texts of the codes this program raises itself, else "winerror #<code>".
class WinErrorProvider final : public ErrorProvider {
public:
    std::string getErrorDescription(ErrorRef ref) const override;
};

// NTSTATUS values: through RtlNtStatusToDosError where ntdll has it, else "ntstatus 0x%08x".
class NtStatusProvider final : public ErrorProvider {
public:
    std::string getErrorDescription(ErrorRef ref) const override;
};

// CONFIGRET values: the CR_ names for 0..59, "CR_ERROR_0x%04x" above.
class CfgMgrErrorProvider final : public ErrorProvider {
public:
    std::string getErrorDescription(ErrorRef ref) const override;
};

const StdErrorProvider& stdErrorProvider();
const ErrnoProvider& errnoProvider();
const WinErrorProvider& winErrorProvider();
const NtStatusProvider& ntStatusProvider();
const CfgMgrErrorProvider& cfgMgrErrorProvider();

}  // namespace vek::err
