#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/Error.h"
#include "foundation/MappedFile.h"
#include "support/TempDir.h"

using vek::io::MappedFile;

namespace {

// A mapping's size is the end asked for plus 65536, rounded up to a 4096-byte
// page on every platform (not to Windows' 64 KiB allocation granularity).
constexpr uint64_t kFirstMapping = 69632;  // 48 + 65536, rounded up

// The real system, noting the offset of every view it unmaps.
struct RecordingSystem : MappedFile::System {
    std::vector<uint64_t>& unmapped;
    std::unique_ptr<System> real = create();
    std::vector<std::pair<uint8_t*, uint64_t>> views;
    explicit RecordingSystem(std::vector<uint64_t>& log) : unmapped(log) {}
    bool open(std::string_view name) override { return real->open(name); }
    void close() override { real->close(); }
    bool size(uint64_t* size) override { return real->size(size); }
    bool setSize(uint64_t size) override { return real->setSize(size); }
    bool map(uint64_t size) override { return real->map(size); }
    void unmap() override { real->unmap(); }
    bool flushView(uint8_t* base, size_t length) override { return real->flushView(base, length); }
    bool sync() override { return real->sync(); }
    uint8_t* mapView(uint64_t offset, size_t length) override {
        views.emplace_back(real->mapView(offset, length), offset);
        return views.back().first;
    }
    void unmapView(uint8_t* base, size_t length) override {
        auto it = std::find_if(views.begin(), views.end(), [&](const auto& v) { return v.first == base; });
        unmapped.push_back(it->second);
        views.erase(it);
        real->unmapView(base, length);
    }
};

}  // namespace

TEST(MappedFile, GrowsToThePageRoundedSizeAtTheExactBoundary) {
    TempDir dir;
    MappedFile f;
    ASSERT_TRUE(f.open(dir.path("g.bin")));
    ASSERT_NE(f.mapHeader(48), nullptr);
    uint64_t size = 0;
    EXPECT_EQ(f.mappingSize(), kFirstMapping);
    EXPECT_TRUE(f.fileSize(&size) && size == kFirstMapping);
    const struct {
        uint64_t offset;
        size_t size;
        uint64_t mapping;  // size of mapping and file afterwards
    } steps[] = {
        {69624, 8, kFirstMapping},  // ends at the mapping's end: no growth
        {69632, 4096, 139264},      // 73728 + 65536 is whole pages already
        {139263, 2, 208896},        // 204801 rounds up to 51 pages
        {208895, 1, 208896},        // the mapping's last byte
        {204801, 4096, 278528},     // one byte past: 274433 rounds up to 68 pages
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        uint8_t* p = f.map(steps[i].offset, steps[i].size);
        ASSERT_NE(p, nullptr) << vek::err::getLastErrorDescription();
        p[steps[i].size - 1] = static_cast<uint8_t>(0xA0 + i);  // the view reaches the range's last byte
        EXPECT_EQ(f.mappingSize(), steps[i].mapping);
        EXPECT_TRUE(f.fileSize(&size));
        EXPECT_EQ(size, steps[i].mapping);
    }
    f.close();
    const std::vector<uint8_t> bytes = readFileBytes(dir.path("g.bin"));
    ASSERT_EQ(bytes.size(), 278528u);
    for (size_t i = 0; i < std::size(steps); ++i)
        EXPECT_EQ(bytes[steps[i].offset + steps[i].size - 1], 0xA0 + i) << i;
}

TEST(MappedFile, KeepsThe32MostRecentViewsAndRefusesSizeChangesUnderThem) {
    TempDir dir;
    std::vector<uint64_t> unmapped;
    MappedFile f(std::make_unique<RecordingSystem>(unmapped));
    ASSERT_TRUE(f.open(dir.path("f.bin")));
    ASSERT_NE(f.mapHeader(48), nullptr);
    ASSERT_EQ(f.mappingSize(), kFirstMapping);

    // Each range reaches one byte past the mapping, which grows by 69632 each
    // time; the new view starts at the range's offset rounded down to where
    // views may start, and alone covers the byte after the old end.
    std::vector<uint64_t> starts, marks;
    for (size_t i = 0; i < MappedFile::kMaxViews + 2; ++i) {
        if (i == MappedFile::kMaxViews) {
            ASSERT_NE(f.map(marks[0], 1), nullptr);  // the first view used again
        }
        const uint64_t end = f.mappingSize();
        starts.push_back((end - 1) / MappedFile::viewAlignment() * MappedFile::viewAlignment());
        marks.push_back(end);
        uint8_t* p = f.map(end - 1, 2);
        ASSERT_NE(p, nullptr);
        p[1] = static_cast<uint8_t>(i + 1);
        EXPECT_EQ(f.mappingSize(), kFirstMapping * (i + 2)) << i;
    }
    EXPECT_EQ(f.cachedViews(), MappedFile::kMaxViews);
    EXPECT_EQ(unmapped, (std::vector<uint64_t>{starts[1], starts[2]}));

    EXPECT_FALSE(f.setSize(100));
    EXPECT_EQ(vek::err::getLastError().code(), vek::err::kWinInvalidHandleState);
    EXPECT_EQ(f.map(~uint64_t{0} - 4, 8), nullptr);  // a range that wraps around
    f.unmapAll();
    const uint64_t full = kFirstMapping * (MappedFile::kMaxViews + 3);
    ASSERT_EQ(f.mappingSize(), full);
    ASSERT_TRUE(f.setSize(full));
    EXPECT_EQ(f.mappingSize(), 0u);
    f.close();
    const std::vector<uint8_t> bytes = readFileBytes(dir.path("f.bin"));
    ASSERT_EQ(bytes.size(), full);
    for (size_t i = 0; i < marks.size(); ++i) EXPECT_EQ(bytes[marks[i]], i + 1) << i;

    // A mapping smaller than the file leaves the file as long as it is.
    ASSERT_TRUE(f.open(dir.path("f.bin")));
    ASSERT_NE(f.mapHeader(48), nullptr);
    uint64_t size = 0;
    EXPECT_TRUE(f.fileSize(&size) && size == full);
}
