#include "foundation/Error.h"
#include "foundation/MappedFile.h"
#include "foundation/SystemError.h"
#include "foundation/Win32.h"

namespace vek::io {

namespace {

DWORD high(uint64_t v) { return static_cast<DWORD>(v >> 32); }
DWORD low(uint64_t v) { return static_cast<DWORD>(v); }

SYSTEM_INFO systemInfo() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info;
}

class Win32System final : public MappedFile::System {
public:
    bool open(std::string_view name) override {
        if (name.find('\0') != std::string_view::npos) return err::setWinError(ERROR_INVALID_NAME), false;
        file_.reset(CreateFileW(win::widen(name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, 0, nullptr));
        if (!file_.valid()) return err::setSystemError();
        return true;
    }

    void close() override {
        mapping_.reset();
        file_.reset();
    }

    bool size(uint64_t* size) override {
        LARGE_INTEGER n{};
        if (!GetFileSizeEx(file_.get(), &n)) return err::setSystemError();
        *size = static_cast<uint64_t>(n.QuadPart);
        return true;
    }

    bool setSize(uint64_t size) override {
        LARGE_INTEGER to{};
        to.QuadPart = static_cast<LONGLONG>(size);
        if (!SetFilePointerEx(file_.get(), to, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.get()))
            return err::setSystemError();
        return true;
    }

    // A mapping larger than the file extends it (with its clusters allocated);
    // the views of the mapping it replaces keep it alive until they go.
    bool map(uint64_t size) override {
        mapping_.reset();
        HANDLE m = CreateFileMappingW(file_.get(), nullptr, PAGE_READWRITE, high(size), low(size), nullptr);
        if (!m) return err::setSystemError();
        mapping_.reset(m);
        return true;
    }

    void unmap() override { mapping_.reset(); }

    uint8_t* mapView(uint64_t offset, size_t length) override {
        void* p = MapViewOfFile(mapping_.get(), FILE_MAP_READ | FILE_MAP_WRITE, high(offset), low(offset), length);
        if (!p) return err::setSystemError(), nullptr;
        return static_cast<uint8_t*>(p);
    }

    void unmapView(uint8_t* base, size_t) override { UnmapViewOfFile(base); }

    bool flushView(uint8_t* base, size_t length) override {
        if (!FlushViewOfFile(base, length)) return err::setSystemError();
        return true;
    }

    bool sync() override {
        if (!FlushFileBuffers(file_.get())) return err::setSystemError();
        return true;
    }

private:
    win::Handle file_;
    win::Handle mapping_;
};

}  // namespace

std::unique_ptr<MappedFile::System> MappedFile::System::create() { return std::make_unique<Win32System>(); }

uint64_t MappedFile::System::viewAlignment() {
    static const uint64_t granularity = systemInfo().dwAllocationGranularity;
    return granularity;
}

// Only a view's start needs the allocation granularity; a mapping (and so the
// file) grows in pages, the same on every platform.
uint64_t MappedFile::System::sizeAlignment() {
    static const uint64_t page = systemInfo().dwPageSize;
    return page;
}

}  // namespace vek::io
