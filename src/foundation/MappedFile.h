#pragma once
// A file written through memory-mapped views that grow with it (the *.qwlog
// writer's storage).
//
// One permanent header view at offset 0, and a cache of at most kMaxViews
// further views, the least recently used unmapped first. A view starts at its
// offset rounded down to viewAlignment() and runs to the end of the mapping.
// When a requested range reaches past the mapping (or there is none), the
// mapping is recreated at the range's end plus kGrowth, rounded up to
// sizeAlignment(), which grows the file to that size; it never shrinks it.
// Growth reserves the disk space, so a full disk fails the request with the
// system error instead of faulting later on a write into the view.
//
// Not thread-safe: one owner, one thread at a time.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace vek::io {

class MappedFile {
public:
    static constexpr size_t kMaxViews = 32;
    static constexpr uint64_t kGrowth = 65536;

    // The operating system's side, one implementation per platform
    // (MappedFile_posix.cpp, MappedFile_win32.cpp). Every failing call sets the
    // last error from the system.
    class System {
    public:
        virtual ~System() = default;
        // Read-write, shared for reading, created when missing, never truncated.
        virtual bool open(std::string_view name) = 0;
        virtual void close() = 0;
        virtual bool size(uint64_t* size) = 0;
        // Cuts or extends the file; only called with no mapping and no view.
        virtual bool setSize(uint64_t size) = 0;
        // A mapping of `size` bytes replaces the current one (views of the old one
        // stay valid); a file shorter than that is grown, with its space reserved.
        virtual bool map(uint64_t size) = 0;
        virtual void unmap() = 0;
        virtual uint8_t* mapView(uint64_t offset, size_t length) = 0;
        virtual void unmapView(uint8_t* base, size_t length) = 0;
        // Starts writing the view's dirty pages back; sync waits for the file.
        virtual bool flushView(uint8_t* base, size_t length) = 0;
        virtual bool sync() = 0;

        static std::unique_ptr<System> create();
        // Where views may start: the allocation granularity (the page size on POSIX).
        static uint64_t viewAlignment();
        // What mapping sizes are rounded up to: the page size, also on Windows.
        static uint64_t sizeAlignment();
    };

    MappedFile();
    explicit MappedFile(std::unique_ptr<System> system);
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    // Closes what was held first. False with the last error set.
    bool open(std::string_view name);
    // Unmaps every view and closes mapping and file, as they stand.
    void close();
    bool isOpen() const { return open_; }

    // The file's size on disk now. False with the last error set.
    bool fileSize(uint64_t* size) const;
    // 0 while there is no mapping.
    uint64_t mappingSize() const { return mappingSize_; }
    static uint64_t viewAlignment() { return System::viewAlignment(); }
    static uint64_t sizeAlignment() { return System::sizeAlignment(); }

    // The permanent view of [0, size), replacing the previous one. Null with the
    // last error set.
    uint8_t* mapHeader(size_t size);
    uint8_t* header() const { return header_.base; }
    // A pointer to `offset` in a view that covers `size` bytes from there; valid
    // until the next map or unmapAll. Null with the last error set.
    uint8_t* map(uint64_t offset, size_t size);
    // Every view, the header's included.
    void unmapAll();
    size_t cachedViews() const { return views_.size(); }

    // Cuts or extends the file and drops the mapping. Refused with Windows error
    // 1609 (invalid handle state) while any view is mapped.
    bool setSize(uint64_t size);
    // Every mapped view written back, then the file synced to disk: bytes
    // written through views unmapped earlier are on disk too.
    bool flush();

private:
    struct View {
        uint8_t* base = nullptr;
        uint64_t offset = 0;
        size_t length = 0;
        uint64_t lastUse = 0;
    };

    bool ensureMapped(uint64_t end);
    View* findView(uint64_t offset, uint64_t end);
    void release(View& view);

    std::unique_ptr<System> system_;
    bool open_ = false;
    uint64_t mappingSize_ = 0;
    View header_;
    std::vector<View> views_;
    uint64_t useClock_ = 0;
    size_t lastHit_ = 0;
};

}  // namespace vek::io
