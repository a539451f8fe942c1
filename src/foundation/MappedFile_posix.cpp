#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "foundation/Error.h"
#include "foundation/FdStream_posix.h"
#include "foundation/MappedFile.h"
#include "foundation/SystemError.h"

namespace vek::io {

namespace {

// POSIX has no mapping object: the descriptor is mapped directly, and
// "recreating the mapping" is growing the file.
class PosixSystem final : public MappedFile::System {
public:
    bool open(std::string_view name) override {
        if (name.find('\0') != std::string_view::npos) return err::setErrnoError(EINVAL), false;
        int fd = ::open(std::string(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0) return err::setSystemError();
        fd_ = Fd(fd);
        return true;
    }

    void close() override { fd_.reset(); }

    bool size(uint64_t* size) override {
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0) return err::setSystemError();
        *size = static_cast<uint64_t>(st.st_size);
        return true;
    }

    bool setSize(uint64_t size) override {
        if (::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0) return err::setSystemError();
        return true;
    }

    bool map(uint64_t size) override {
        uint64_t current = 0;
        if (!this->size(&current)) return false;
        if (current >= size) return true;
        // Allocated, not just a longer sparse file: a full disk must fail here
        // rather than raise SIGBUS on a later write into the view.
        int rc = ::posix_fallocate(fd_.get(), static_cast<off_t>(current), static_cast<off_t>(size - current));
        if (rc != 0) return err::setErrnoError(rc), false;
        return true;
    }

    void unmap() override {}

    uint8_t* mapView(uint64_t offset, size_t length) override {
        void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), static_cast<off_t>(offset));
        if (p == MAP_FAILED) return err::setSystemError(), nullptr;
        return static_cast<uint8_t*>(p);
    }

    void unmapView(uint8_t* base, size_t length) override { ::munmap(base, length); }

    // The page cache already holds what was written; MS_ASYNC hands it to the
    // file on systems that keep mapped pages apart, and sync waits for the disk.
    bool flushView(uint8_t* base, size_t length) override {
        if (::msync(base, length, MS_ASYNC) != 0) return err::setSystemError();
        return true;
    }

    bool sync() override {
        if (::fdatasync(fd_.get()) != 0) return err::setSystemError();
        return true;
    }

private:
    Fd fd_;
};

}  // namespace

std::unique_ptr<MappedFile::System> MappedFile::System::create() { return std::make_unique<PosixSystem>(); }

uint64_t MappedFile::System::viewAlignment() {
    static const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    return page;
}

uint64_t MappedFile::System::sizeAlignment() { return viewAlignment(); }

}  // namespace vek::io
