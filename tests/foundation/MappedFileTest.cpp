#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/Error.h"
#include "foundation/MappedFile.h"
#include "support/TempDir.h"

using vek::io::MappedFile;

namespace {

uint64_t grownTo(uint64_t end) {
    const uint64_t unit = MappedFile::sizeAlignment();
    return (end + MappedFile::kGrowth + unit - 1) / unit * unit;
}

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

TEST(MappedFile, GrowsByTheRuleKeepsThe32MostRecentViewsAndRefusesSizeChangesUnderThem) {
    TempDir dir;
    const uint64_t unit = MappedFile::viewAlignment();
    std::vector<uint64_t> unmapped;
    MappedFile f(std::make_unique<RecordingSystem>(unmapped));
    ASSERT_TRUE(f.open(dir.path("f.bin")));
    ASSERT_NE(f.mapHeader(48), nullptr);
    uint64_t size = 0;
    EXPECT_EQ(f.mappingSize(), grownTo(48));
    EXPECT_TRUE(f.fileSize(&size) && size == grownTo(48));

    // Each range reaches one byte past the mapping: it grows, and the new view,
    // from one unit before the old end, alone covers the bytes after that end.
    std::vector<uint64_t> starts;
    for (size_t i = 0; i < MappedFile::kMaxViews + 2; ++i) {
        if (i == MappedFile::kMaxViews) {
            ASSERT_NE(f.map(starts[0] + unit, 1), nullptr);  // the first view used again
        }
        const uint64_t end = f.mappingSize();
        starts.push_back(end - unit);
        uint8_t* p = f.map(end - 1, 2);
        ASSERT_NE(p, nullptr);
        p[1] = static_cast<uint8_t>(i + 1);
        EXPECT_EQ(f.mappingSize(), grownTo(end + 1));
    }
    EXPECT_EQ(f.cachedViews(), MappedFile::kMaxViews);
    EXPECT_EQ(unmapped, (std::vector<uint64_t>{starts[1], starts[2]}));

    EXPECT_FALSE(f.setSize(100));
    EXPECT_EQ(vek::err::getLastError().code(), vek::err::kWinInvalidHandleState);
    EXPECT_EQ(f.map(~uint64_t{0} - 4, 8), nullptr);  // a range that wraps around
    f.unmapAll();
    const uint64_t full = f.mappingSize();
    ASSERT_TRUE(f.setSize(full));
    EXPECT_EQ(f.mappingSize(), 0u);
    f.close();
    const std::vector<uint8_t> bytes = readFileBytes(dir.path("f.bin"));
    ASSERT_EQ(bytes.size(), full);
    for (size_t i = 0; i < starts.size(); ++i) EXPECT_EQ(bytes[starts[i] + unit], i + 1) << i;

    // A mapping smaller than the file leaves the file as long as it is.
    ASSERT_TRUE(f.open(dir.path("f.bin")));
    ASSERT_NE(f.mapHeader(48), nullptr);
    EXPECT_TRUE(f.fileSize(&size) && size == full);
}
