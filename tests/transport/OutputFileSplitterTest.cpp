#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/Error.h"
#include "support/TempDir.h"
#include "transport/FileTransport.h"
#include "transport/OutputFileSplitter.h"

namespace {

constexpr uint64_t kMinute = 60 * vek::sys::kTicksPerSecond;
uint64_t fakeNow = 0;
uint64_t fakeClock() { return fakeNow; }

}  // namespace

TEST(OutputFileSplitter, NamesTheSeries) {
    struct Case {
        std::string name, first, second;
    };
    const Case cases[] = {
        {"capture.log", "capture-00.log", "capture-01.log"},
        {"capture.tar.gz", "capture-00.tar.gz", "capture-01.tar.gz"},
        {"dir.d/capture", "dir.d/capture-00", "dir.d/capture-01"},
        {".hidden", "-00.hidden", "-01.hidden"},
        {"name", "name-00", "name-01"},
        {"C:\\out.d\\cap", "C:\\out.d\\cap-00", "C:\\out.d\\cap-01"},
        {"C:\\out\\cap.bin", "C:\\out\\cap-00.bin", "C:\\out\\cap-01.bin"},
        {"a/b.c/d.e.f", "a/b.c/d-00.e.f", "a/b.c/d-01.e.f"},
        {"trailing.", "trailing-00.", "trailing-01."},
        {"", "-00", "-01"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OutputFileSplitter s;
        s.init(1, kNoSplit, c.name);
        EXPECT_EQ(s.fileName(), c.first);
        EXPECT_TRUE(s.onWritten(1));
        EXPECT_EQ(s.fileName(), c.second);
    }
}

TEST(OutputFileSplitter, IndexGrowsPastTwoDigitsAndNoLimitsMeansNoSeries) {
    OutputFileSplitter s;
    s.init(10, kNoSplit, "capture.log");
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(s.onWritten(10));
    EXPECT_EQ(s.fileName(), "capture-100.log");

    OutputFileSplitter none;
    none.init(kNoSplit, kNoSplit, "capture.log");
    EXPECT_FALSE(none.onWritten(~uint64_t{0} / 2));
    EXPECT_FALSE(none.onWritten(~uint64_t{0} / 2));
    EXPECT_EQ(none.fileName(), "capture.log");
}

TEST(OutputFileSplitter, TimeLimitCountsFromEachFilesStart) {
    fakeNow = 1000 * kMinute;
    OutputFileSplitter s(&fakeClock);
    s.init(kNoSplit, 30 * kMinute, "cap.bin");
    struct Step {
        uint64_t at;  // minutes after the first file began
        bool split;
    };
    const Step steps[] = {
        {10, false}, {29, false}, {30, true},  // file 01 begins at 30
        {59, false}, {60, true},               // file 02 at 60
        {200, true},                           // one split however long the pause
        {201, false},
    };
    for (const Step& step : steps) {
        fakeNow = 1000 * kMinute + step.at * kMinute;
        EXPECT_EQ(s.onWritten(1), step.split) << "at minute " << step.at;
    }
    EXPECT_EQ(s.index(), 3u);
}

TEST(OutputFileSplitter, HugeTimeLimitNeverWrapsIntoThePast) {
    fakeNow = 1000 * kMinute;
    OutputFileSplitter s(&fakeClock);
    s.init(kNoSplit, kNoSplit - 1, "cap.bin");
    fakeNow += kMinute;
    EXPECT_FALSE(s.onWritten(1));
}

TEST(FileTransportSplit, SizeLimitCutsAfterTheWriteThatReachesIt) {
    TempDir dir;
    FileTransport t;
    ASSERT_TRUE(t.openSplitOutput(dir.path("cap.bin"), 1000, kNoSplit));
    std::vector<uint8_t> all;
    for (int i = 0; i < 5; ++i) {
        std::vector<uint8_t> block(600, static_cast<uint8_t>('a' + i));
        ASSERT_EQ(t.write(block.data(), block.size()), block.size());
        all.insert(all.end(), block.begin(), block.end());
    }
    t.close();

    const std::pair<const char*, size_t> files[] = {{"cap-00.bin", 1200}, {"cap-01.bin", 1200}, {"cap-02.bin", 600}};
    std::vector<uint8_t> joined;
    for (auto [name, size] : files) {
        std::vector<uint8_t> bytes = readFileBytes(dir.path(name));
        EXPECT_EQ(bytes.size(), size) << name;
        joined.insert(joined.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(joined, all);
    EXPECT_FALSE(std::filesystem::exists(dir.path("cap.bin")));
    EXPECT_FALSE(std::filesystem::exists(dir.path("cap-03.bin")));
}

TEST(FileTransportSplit, NextFileTruncatedAndAFailedReopenFailsTheWrite) {
    TempDir dir;
    writeFileBytes(dir.path("cap-01.bin"), bytesOf("old contents"));
    std::filesystem::create_directory(dir.path("cap-02.bin"));  // cannot be opened as a file

    FileTransport t;
    ASSERT_TRUE(t.openSplitOutput(dir.path("cap.bin"), 4, kNoSplit));
    EXPECT_EQ(t.write("abcd", 4), 4u);
    EXPECT_EQ(t.write("ef", 2), 2u);
    EXPECT_EQ(readFileBytes(dir.path("cap-01.bin")), bytesOf("ef"));
    // This write reaches cap-01.bin, then cap-02.bin fails to open.
    EXPECT_EQ(t.write("gh", 2), kIoFailed);
    EXPECT_NE(vek::err::getLastError().code(), 0u);
    EXPECT_EQ(readFileBytes(dir.path("cap-01.bin")), bytesOf("efgh"));
    EXPECT_EQ(t.write("ij", 2), kIoFailed);
    EXPECT_EQ(readFileBytes(dir.path("cap-00.bin")), bytesOf("abcd"));
}
