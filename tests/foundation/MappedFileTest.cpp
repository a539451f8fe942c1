#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/Error.h"
#include "foundation/MappedFile.h"
#include "support/TempDir.h"

using vek::io::MappedFile;

namespace {

uint64_t roundUp(uint64_t n, uint64_t unit) { return (n + unit - 1) / unit * unit; }
// The mapping size the growth rule gives for a range ending at `end`.
uint64_t grownTo(uint64_t end) { return roundUp(end + MappedFile::kGrowth, MappedFile::sizeAlignment()); }

// The real system, with every mapping, view and unmapping noted as a line.
class RecordingSystem : public MappedFile::System {
public:
    explicit RecordingSystem(std::vector<std::string>& log) : log_(log) {}
    bool open(std::string_view name) override { return real_->open(name); }
    void close() override { real_->close(); }
    bool size(uint64_t* size) override { return real_->size(size); }
    bool setSize(uint64_t size) override { return note("size", size), real_->setSize(size); }
    bool map(uint64_t size) override { return note("mapping", size), real_->map(size); }
    void unmap() override { real_->unmap(); }
    uint8_t* mapView(uint64_t offset, size_t length) override {
        uint8_t* base = real_->mapView(offset, length);
        if (base) bases_.push_back({base, offset});
        return note("view", offset), base;
    }
    void unmapView(uint8_t* base, size_t length) override {
        for (auto it = bases_.begin(); it != bases_.end(); ++it) {
            if (it->first != base) continue;
            note("unview", it->second);
            bases_.erase(it);
            break;
        }
        real_->unmapView(base, length);
    }
    bool flushView(uint8_t* base, size_t length) override { return real_->flushView(base, length); }
    bool sync() override { return real_->sync(); }

private:
    void note(const char* what, uint64_t n) { log_.push_back(what + (" " + std::to_string(n))); }
    std::unique_ptr<MappedFile::System> real_ = MappedFile::System::create();
    std::vector<std::string>& log_;
    std::vector<std::pair<uint8_t*, uint64_t>> bases_;
};

uint64_t sizeOnDisk(const MappedFile& f) {
    uint64_t size = 0;
    EXPECT_TRUE(f.fileSize(&size));
    return size;
}

}  // namespace

TEST(MappedFile, GrowsByTheRuleAndNeverShrinksTheFile) {
    TempDir dir;
    const uint64_t a = MappedFile::viewAlignment();
    std::vector<std::string> log;
    MappedFile f(std::make_unique<RecordingSystem>(log));
    ASSERT_TRUE(f.open(dir.path("grow.bin")));
    uint8_t* h = f.mapHeader(48);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(f.mappingSize(), grownTo(48));
    EXPECT_EQ(sizeOnDisk(f), grownTo(48));

    // Up to the mapping's last byte no growth; one byte more grows it.
    const uint64_t full = f.mappingSize();
    uint8_t* last = f.map(full - 10, 10);
    ASSERT_NE(last, nullptr);
    std::memcpy(last, "0123456789", 10);
    EXPECT_EQ(f.mappingSize(), full);
    ASSERT_NE(f.map(full - 10, 11), nullptr);
    EXPECT_EQ(f.mappingSize(), grownTo(full + 1));
    EXPECT_EQ(sizeOnDisk(f), grownTo(full + 1));
    const std::vector<std::string> expected = {
        "mapping " + std::to_string(grownTo(48)), "view 0", "view " + std::to_string((full - 10) / a * a),
        "mapping " + std::to_string(grownTo(full + 1)), "view " + std::to_string((full - 10) / a * a)};
    EXPECT_EQ(log, expected);

    // A size change waits for every view, the header's included.
    EXPECT_FALSE(f.setSize(100));
    EXPECT_EQ(vek::err::getLastError().code(), vek::err::kWinInvalidHandleState);
    f.unmapAll();
    ASSERT_TRUE(f.setSize(full));
    EXPECT_EQ(f.mappingSize(), 0u);
    f.close();
    std::vector<uint8_t> bytes = readFileBytes(dir.path("grow.bin"));
    ASSERT_EQ(bytes.size(), full);
    EXPECT_EQ(std::string(bytes.end() - 10, bytes.end()), "0123456789");

    // A file larger than the mapping stays as long as it is.
    ASSERT_TRUE(f.open(dir.path("grow.bin")));
    ASSERT_NE(f.mapHeader(48), nullptr);
    EXPECT_EQ(f.mappingSize(), grownTo(48));
    EXPECT_EQ(sizeOnDisk(f), full);
    EXPECT_EQ(f.map(~uint64_t{0} - 4, 8), nullptr);  // a range that wraps around
    EXPECT_EQ(vek::err::getLastError().code(), vek::err::kWinInvalidParameter);
}

TEST(MappedFile, KeepsAtMost32ViewsAndUnmapsTheLeastRecentlyUsed) {
    TempDir dir;
    const uint64_t a = MappedFile::viewAlignment();
    std::vector<std::string> log;
    MappedFile f(std::make_unique<RecordingSystem>(log));
    ASSERT_TRUE(f.open(dir.path("views.bin")));
    ASSERT_NE(f.mapHeader(48), nullptr);
    // Each range straddles the mapping's end: the mapping grows and a new view
    // begins one unit before the old end, so each view alone covers its middle.
    auto straddle = [&] { return f.map(f.mappingSize() - 1, 2); };
    std::vector<uint64_t> starts;
    for (size_t i = 0; i < MappedFile::kMaxViews; ++i) {
        starts.push_back(f.mappingSize() - a);
        uint8_t* p = straddle();
        ASSERT_NE(p, nullptr);
        p[1] = static_cast<uint8_t>(i + 1);
    }
    EXPECT_EQ(f.cachedViews(), MappedFile::kMaxViews);
    ASSERT_NE(f.map(starts[0] + a + 1, 8), nullptr);  // the first view is now the most recent
    log.clear();
    ASSERT_NE(straddle(), nullptr);
    ASSERT_NE(straddle(), nullptr);
    std::vector<std::string> unmapped;
    for (const std::string& line : log)
        if (line.rfind("unview", 0) == 0) unmapped.push_back(line);
    const std::vector<std::string> expected = {"unview " + std::to_string(starts[1]),
                                               "unview " + std::to_string(starts[2])};
    EXPECT_EQ(unmapped, expected);
    EXPECT_EQ(f.cachedViews(), MappedFile::kMaxViews);
    // What went through views since unmapped is in the file.
    f.close();
    std::vector<uint8_t> bytes = readFileBytes(dir.path("views.bin"));
    for (size_t i = 0; i < starts.size(); ++i) {
        ASSERT_GT(bytes.size(), starts[i] + a);
        EXPECT_EQ(bytes[starts[i] + a], i + 1);
    }
}

TEST(MappedFile, FailuresCarryTheSystemError) {
    TempDir dir;
    std::filesystem::create_directory(dir.path("folder"));
    MappedFile f;
    EXPECT_FALSE(f.open(dir.path("folder")));
    EXPECT_NE(vek::err::getLastError().code(), 0u);
    EXPECT_FALSE(f.isOpen());
    EXPECT_EQ(f.map(0, 8), nullptr);
    EXPECT_FALSE(f.setSize(0));
}
