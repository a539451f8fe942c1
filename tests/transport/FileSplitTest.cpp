#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "foundation/Error.h"
#include "foundation/File.h"
#include "session/Message.h"
#include "support/MemoryTransport.h"
#include "support/TempDir.h"
#include "transport/FileTransport.h"

namespace {

constexpr uint64_t kMinute = 60 * vek::sys::kTicksPerSecond;
constexpr uint32_t kDiskFull = 112;
uint64_t splitNow = 0;
uint64_t splitClock() { return splitNow; }

// What the file stream does with one write call: take at most `take` bytes,
// then fail if asked; the clock may move on meanwhile.
struct Step {
    size_t take;
    bool fail = false;
    uint64_t advance = 0;
};
// Write calls are numbered from 0 across all the files of a series, the
// preambles of new files included.
using Script = std::map<size_t, Step>;

// A real file whose writes follow the script: the short and failed writes a
// disk, a pipe or an interrupted call can give.
class ScriptedStream final : public vek::io::Stream {
public:
    ScriptedStream(std::unique_ptr<vek::io::Stream> real, const Script& script, size_t& calls)
        : real_(std::move(real)), script_(script), calls_(calls) {}
    size_t read(void* buffer, size_t size) override { return real_->read(buffer, size); }
    size_t write(const void* buffer, size_t size) override {
        auto step = script_.find(calls_++);
        if (step == script_.end()) return real_->write(buffer, size);
        splitNow += step->second.advance;
        size_t n = std::min(size, step->second.take);
        if (n > 0 && real_->write(buffer, n) != n) return vek::io::kStreamFailed;
        if (step->second.fail) return vek::err::setWinError(kDiskFull), vek::io::kStreamFailed;
        return n;
    }
    void close() override { real_->close(); }

private:
    std::unique_ptr<vek::io::Stream> real_;
    const Script& script_;
    size_t& calls_;
};

// Opens real files under the script.
FileTransport::Opener scripted(const Script& script, size_t& calls) {
    return [&script, &calls](std::string_view name, vek::io::FileMode mode) -> std::unique_ptr<vek::io::Stream> {
        std::unique_ptr<vek::io::Stream> real = vek::io::openFile(name, mode);
        if (!real) return nullptr;
        return std::make_unique<ScriptedStream>(std::move(real), script, calls);
    };
}

// Bytes of one file: the preamble, then units whole or (a given-up write) cut.
struct Piece {
    size_t unit;
    size_t bytes = ~size_t{0};
};

}  // namespace

// Ten units of 100 bytes, each a message (one gathered write) or a raw block
// (one write, as pcap records go out): every file of the series must hold whole
// units, in order, none lost or doubled, whatever the stream does to a write.
TEST(FileTransportSplit, CutsOnlyBetweenWholeWritesAfterShortAndFailedOnes) {
    const Bytes preamble = bytesOf("pcap global header, 24 b");
    const std::vector<Piece> first = {{0}, {1}, {2}}, second = {{3}, {4}, {5}}, third = {{6}, {7}, {8}}, last = {{9}};
    const struct {
        const char* what;
        bool framed;
        bool withPreamble;
        uint64_t sizeLimit, timeLimit;
        Script script;
        std::vector<std::vector<Piece>> files;
        size_t failing = ~size_t{0};  // the unit whose write reports failure
    } cases[] = {
        {"no fault", true, false, 250, kNoSplit, {}, {first, second, third, last}},
        {"short write past the limit", true, false, 250, kNoSplit, {{2, {60}}}, {first, second, third, last}},
        {"short write reaching the limit exactly", true, false, 250, kNoSplit, {{2, {50}}},
         {first, second, third, last}},
        {"one short by one byte", true, false, 250, kNoSplit, {{2, {99}}}, {first, second, third, last}},
        {"several short writes, one taking nothing", true, false, 250, kNoSplit,
         {{2, {60}}, {3, {0}}, {4, {30}}, {8, {1}}}, {first, second, third, last}},
        {"retry fails after a short write past the limit", true, false, 250, kNoSplit,
         {{2, {60}}, {3, {10, true}}}, {{{0}, {1}, {2, 70}}, second, third, last}, 2},
        {"short write once the time is up", true, false, kNoSplit, 30 * kMinute, {{2, {10, false, 30 * kMinute}}},
         {first, {{3}, {4}, {5}, {6}, {7}, {8}, {9}}}},
        {"short write of a record batch after the preamble", false, true, 250, kNoSplit, {{3, {30}}},
         {first, second, third, last}},
        {"short write of a record batch once the time is up", false, true, kNoSplit, 30 * kMinute,
         {{4, {1, false, 45 * kMinute}}, {5, {98}}}, {{{0}, {1}, {2}, {3}}, {{4}, {5}, {6}, {7}, {8}, {9}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        size_t calls = 0;
        splitNow = 1000 * kMinute;
        FileTransport t(scripted(c.script, calls));
        ASSERT_TRUE(t.openSplitOutput(dir.path("cap.bin"), c.sizeLimit, c.timeLimit, &splitClock));
        if (c.withPreamble) {
            t.setFilePreamble({preamble.data(), preamble.size()});
            ASSERT_TRUE(writeAll(t, preamble.data(), preamble.size()));
        }
        std::vector<Bytes> units;
        for (size_t i = 0; i < 10; ++i) {
            const Bytes payload(96, static_cast<uint8_t>(0x10 * i + 1));
            units.push_back(c.framed ? frame(static_cast<uint8_t>(0x40 + i), payload)
                                     : cat({Bytes{0xEE, static_cast<uint8_t>(i), 0xEE, 0xEE}, payload}));
            const bool ok = c.framed ? writeMessage(t, static_cast<uint8_t>(0x40 + i), payload.data(), payload.size())
                                     : writeAll(t, units[i].data(), units[i].size());
            EXPECT_EQ(ok, i != c.failing) << "unit " << i;
        }
        t.close();
        for (size_t f = 0; f <= c.files.size(); ++f) {
            const std::string name = dir.path("cap-0" + std::to_string(f) + ".bin");
            if (f == c.files.size()) {
                EXPECT_FALSE(std::filesystem::exists(name)) << name;
                break;
            }
            // Every file begins with the preamble; only the first one's counts toward the limit.
            Bytes expected = c.withPreamble ? preamble : Bytes{};
            for (const Piece& p : c.files[f]) {
                const Bytes& u = units[p.unit];
                expected.insert(expected.end(), u.begin(), u.begin() + ptrdiff_t(std::min(p.bytes, u.size())));
            }
            const Bytes actual = readFileBytes(name);
            EXPECT_EQ(actual.size(), expected.size()) << name;
            EXPECT_TRUE(actual == expected) << name;
        }
    }
}

TEST(FileTransportSplit, ANewFileWhosePreambleFailsTakesNoFurtherWrites) {
    TempDir dir;
    const Bytes preamble = bytesOf("pcap global header, 24 b"), record(100, 0x5A);
    const Script script = {{2, {10, true}}};  // calls: the preamble, the record, cap-01's preamble
    size_t calls = 0;
    FileTransport t(scripted(script, calls));
    ASSERT_TRUE(t.openSplitOutput(dir.path("cap.pcap"), 100, kNoSplit, &splitClock));
    t.setFilePreamble({preamble.data(), preamble.size()});
    ASSERT_TRUE(writeAll(t, preamble.data(), preamble.size()));
    EXPECT_FALSE(writeAll(t, record.data(), record.size()));  // in cap-00, but cap-01 failed
    EXPECT_FALSE(writeAll(t, record.data(), record.size()));
    t.close();
    EXPECT_EQ(readFileBytes(dir.path("cap-00.pcap")), cat({preamble, record}));
    EXPECT_EQ(readFileBytes(dir.path("cap-01.pcap")), Bytes(preamble.begin(), preamble.begin() + 10));
    EXPECT_FALSE(std::filesystem::exists(dir.path("cap-02.pcap")));
}

TEST(FileTransportSplit, AFailedWriteAfterCloseStartsNoNewFile) {
    TempDir dir;
    splitNow = 1000 * kMinute;
    FileTransport t;
    ASSERT_TRUE(t.openSplitOutput(dir.path("cap.bin"), kNoSplit, 30 * kMinute, &splitClock));
    ASSERT_TRUE(writeMessage(t, 0x41, "abc", 3));
    t.close();
    splitNow += 30 * kMinute;  // the first file's time is up
    EXPECT_FALSE(writeMessage(t, 0x42, "def", 3));
    EXPECT_EQ(readFileBytes(dir.path("cap-00.bin")), frame(0x41, bytesOf("abc")));
    EXPECT_FALSE(std::filesystem::exists(dir.path("cap-01.bin")));
}
