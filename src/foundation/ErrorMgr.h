#pragma once
// The error manager: the map from error domain to the provider that describes its
// records, and the per-thread routing of last errors.

#include <mutex>
#include <string>
#include <unordered_map>

#include "foundation/Error.h"

namespace vek::err {

// Describes the records of one domain. Providers are stateless process-wide
// instances; describe runs outside the manager's lock, on any thread.
class ErrorProvider {
public:
    virtual ~ErrorProvider() = default;
    virtual std::string getErrorDescription(ErrorRef ref) const = 0;
};

class ErrorRouter {
public:
    virtual ~ErrorRouter() = default;
    // Stores the record as the calling thread's last error.
    virtual void routeError(const ErrorHdr* hdr) = 0;
    // Describes the record into a per-thread buffer, valid until this thread asks again.
    virtual const char* getErrorDescription(const ErrorHdr* hdr) = 0;
};

class ErrorMgr final : public ErrorRouter {
public:
    // Inserts the domain or replaces its provider. The provider must outlive the manager.
    void registerProvider(const Guid& guid, const ErrorProvider* provider);
    const ErrorProvider* findProvider(const Guid& guid) const;

    // The provider's text, or "<guid>::<signed code>" for an unknown domain.
    std::string describe(ErrorRef ref) const;

    void routeError(const ErrorHdr* hdr) override;
    const char* getErrorDescription(const ErrorHdr* hdr) override;

private:
    friend ErrorMgr& getErrorMgr();
    ErrorMgr();

    mutable std::mutex lock_;
    std::unordered_map<Guid, const ErrorProvider*, GuidHash> providers_;
};

// The process-wide manager; the first call builds it and registers the standard,
// errno, Windows, NT status and configuration-manager domains.
ErrorMgr& getErrorMgr();

}  // namespace vek::err
