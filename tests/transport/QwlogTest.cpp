#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "foundation/Error.h"
#include "foundation/MappedFile.h"
#include "support/MemoryTransport.h"
#include "support/TempDir.h"
#include "transport/QwlogReader.h"
#include "transport/QwlogTransport.h"

namespace {

constexpr vek::Guid kSerialGuid{0x29725452, 0xE64F, 0x4C0E, {0xA8, 0x71, 0x77, 0x62, 0x77, 0xB6, 0x85, 0x72}};
constexpr vek::Guid kOtherGuid{0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 5, 5, 5, 5}};
const std::vector<vek::Guid> kSerial = {kSerialGuid};

// Each reading one tick later, so timestamps show the order of the records.
uint64_t clockNow = 0;
uint64_t tick() { return ++clockNow; }

Bytes le(uint64_t v, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    return b;
}

struct Rec {
    uint64_t code;
    Bytes data;
    bool operator==(const Rec&) const = default;
};

// A log file read back; valid when its header and records read and agree.
struct Log {
    Bytes bytes;
    bool valid = false;
    qwlog::Header header;
    std::vector<vek::Guid> guids;
    std::vector<Rec> records;
    std::vector<uint64_t> stamps;
};
Log readLog(const std::string& path) {
    Log log;
    log.bytes = readFileBytes(path);
    QwlogReader reader(log.bytes);
    if (!(log.valid = reader.valid())) return log;
    log.header = reader.header();
    log.guids = reader.classGuids();
    for (const QwlogRecord& r : reader.records()) {
        log.records.push_back({r.code, Bytes(r.data.begin(), r.data.end())});
        log.stamps.push_back(r.timestamp);
    }
    log.valid = !reader.malformed() && log.header.recordCount == log.records.size();
    return log;
}

Bytes pair(uint32_t value, uint32_t changed) { return cat({le32(value), le32(changed)}); }
Bytes guidBytes(const vek::Guid& g) {
    auto p = reinterpret_cast<const uint8_t*>(&g);
    return Bytes(p, p + sizeof g);
}
Bytes textRecord(const std::string& text) {
    vek::err::Error e = vek::err::Error::fromText(text);
    return Bytes(e.ref().data(), e.ref().data() + e.ref().size());
}

// A file's length while open: its mapping, 65536 bytes past the end of the
// records, rounded up to a page of 4096 bytes. Headers of up to 4096 bytes with
// few records give this.
constexpr uint64_t kNewFileLength = 69632;

// Opens `path` (no split), writes each chunk, closes; the log as it then is.
Log logAfter(const std::string& path, const std::vector<Bytes>& writes,
             const std::vector<vek::Guid>& guids = kSerial) {
    QwlogTransport t(&tick);
    EXPECT_TRUE(t.open(path, kNoSplit, kNoSplit, guids)) << vek::err::getLastErrorDescription();
    for (const Bytes& w : writes) EXPECT_EQ(t.write(w.data(), w.size()), w.size());
    t.close();
    return readLog(path);
}

// A log with the GUIDs, `between` bytes after them and one record "old"; `edit`
// then spoils what a case needs.
Bytes logImage(const std::vector<vek::Guid>& guids, const Bytes& between = {},
               const std::function<void(Bytes&)>& edit = nullptr) {
    Bytes image = cat({bytesOf("log:"), le32(0x00030A00), le(1, 8), le(27, 8), le32(27),
                       le((32 + 16 * guids.size() + between.size()) | (guids.size() - 1) << 24, 4)});
    for (const vek::Guid& g : guids) image = cat({image, guidBytes(g)});
    image = cat({image, between, Bytes{0x0A, 'r', 'c', ':'}, le32(3), le(kRecordLine0Data, 8), le(7, 8),
                 bytesOf("old")});
    if (edit) edit(image);
    return image;
}
template <typename T>
std::function<void(Bytes&)> put(size_t at, T value) {
    return [=](Bytes& b) { std::memcpy(b.data() + at, &value, sizeof value); };
}
Bytes aux(uint32_t size, const char* signature = "aux:") {
    Bytes b = cat({bytesOf(signature), le32(size)});
    b.resize(16, 0xEE);
    return b;
}

}  // namespace

TEST(QwlogTransport, NewFileHasItsHeaderAndGrownLengthThenExactRecords) {
    const std::vector<vek::Guid> three = {kOtherGuid, kSerialGuid, kOtherGuid};
    for (const std::vector<vek::Guid>& guids : {kSerial, three}) {
        TempDir dir;
        const std::string path = dir.path("new.qwlog");
        const size_t size = 32 + 16 * guids.size();
        Bytes header = cat({bytesOf("log:"), le32(0x00030A00), Bytes(20, 0), le(size | (guids.size() - 1) << 24, 4)});
        for (const vek::Guid& g : guids) header = cat({header, guidBytes(g)});
        QwlogTransport t(&tick);
        ASSERT_TRUE(t.open(path, kNoSplit, kNoSplit, guids));
        Bytes bytes = readFileBytes(path);
        ASSERT_EQ(bytes.size(), kNewFileLength);
        EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + ptrdiff_t(size)), header);

        Bytes message = frame(3, bytesOf("abc"));
        ASSERT_EQ(t.write(message.data(), message.size()), message.size());
        t.close();
        bytes = readFileBytes(path);
        EXPECT_EQ(bytes.size(), kNewFileLength);  // closed as it stands
        const Bytes counts = cat({bytesOf("log:"), le32(0x00030A00), le(1, 8), le(27, 8), le32(27)});
        EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 28), counts);
        const Bytes record =
            cat({Bytes{0x0A, 'r', 'c', ':'}, le32(3), le(0x61D47FF1FC334A11, 8), le(clockNow, 8), bytesOf("abc")});
        EXPECT_EQ(Bytes(bytes.begin() + ptrdiff_t(size), bytes.begin() + ptrdiff_t(size + 27)), record);

        // Opened again, the file loses its growth and continues after the record.
        Log log = logAfter(path, {frame(2, bytesOf("second"))}, guids);
        EXPECT_EQ(log.records,
                  (std::vector<Rec>{{kRecordLine1Data, bytesOf("abc")}, {kRecordLine0Data, bytesOf("second")}}));
        EXPECT_EQ(log.bytes.size(), kNewFileLength);
    }
}

TEST(QwlogTransport, FileGrowsPastItsRecordsByTheMappingRule) {
    // Records of 65559 bytes (the largest message) and one that ends the
    // records exactly at, or one byte past, the first mapping's end.
    const std::vector<vek::Guid> three = {kOtherGuid, kSerialGuid, kOtherGuid};
    const struct {
        std::vector<vek::Guid> guids;
        std::vector<size_t> payloads;
        uint64_t length;  // on disk after close
    } cases[] = {
        {kSerial, {}, kNewFileLength},
        {three, {}, kNewFileLength},
        {kSerial, {0xFFFF}, kNewFileLength},             // records end at 65607
        {kSerial, {0xFFFF, 4001}, kNewFileLength},       // at 69632 exactly
        {kSerial, {0xFFFF, 4002}, 139264},               // at 69633: + 65536, rounded up
        {kSerial, {0xFFFF, 0xFFFF}, 200704},             // at 131166
        {three, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, 331776},  // at 262316
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        std::vector<Bytes> writes;
        for (size_t n : cases[i].payloads) writes.push_back(frame(2, Bytes(n, static_cast<uint8_t>(n))));
        TempDir dir;
        Log log = logAfter(dir.path("g.qwlog"), writes, cases[i].guids);
        ASSERT_TRUE(log.valid);
        EXPECT_EQ(log.records.size(), cases[i].payloads.size());
        EXPECT_EQ(log.bytes.size(), cases[i].length);
    }
}

TEST(QwlogTransport, ConvertsEachMessageCode) {
    const Bytes abc = bytesOf("abc"), errorRecord = textRecord("port gone");
    Bytes everyPlain;
    std::vector<Rec> plainRecords;
    const std::pair<uint8_t, uint64_t> plain[] = {
        {7, 0x01D487BB6423B806},  {8, 0x01D487BB6423B804},  {9, 0x01D487BB6423B805},  {10, 0x01D487BB6423B80F},
        {11, 0x01D487BB6423B810}, {12, 0x01D487BB6423B811}, {13, 0x01D487BB6423B812}, {14, 0x01D487BB6423B813},
        {15, 0x01D487BB6423B814}, {16, 0x01D487BB6423B815}, {20, 0x01D487BB6423B816}, {21, 0x01D487BB6423B817},
        {22, 0x61D47FF1FC334A12}, {27, 0x81D4CDAFA0ABB0E7}, {28, 0x81D4CDAFA0ABB0E8}};
    for (auto [code, record] : plain) {
        everyPlain = cat({everyPlain, frame(code, {code})});
        plainRecords.push_back({record, {code}});
    }
    const std::pair<std::vector<Bytes>, std::vector<Rec>> cases[] = {
        {{cat({frame(2, abc), frame(3, abc)})}, {{kRecordLine0Data, abc}, {kRecordLine1Data, abc}}},
        // A first 0 and a repeated value record nothing.
        {{frame(4, le32(0)), frame(4, le32(6)), frame(4, le32(6)), frame(4, le32(3))},
         {{kRecordLine0Status, pair(6, 6)}, {kRecordLine0Status, pair(3, 5)}}},
        // Codes 5 and 0x22 share one value; code 4 has its own.
        {{frame(5, le32(9)), frame(0x22, le32(9)), frame(4, le32(9)), frame(0x22, cat({le32(1), Bytes{7}}))},
         {{kRecordLine1Status, pair(9, 9)}, {kRecordLine0Status, pair(9, 9)}, {kRecordLine1Status, pair(1, 8)}}},
        {{frame(4, {1, 2, 3}), frame(0x22, {}), frame(0x21, {5})}, {}},  // too short for their value
        {{frame(1, cat({bytesOf("disk full"), Bytes{0, 'x'}}))}, {{kRecordTextError, textRecord("disk full")}}},
        {{frame(0x20, errorRecord)}, {{kRecordTextError, errorRecord}}},
        {{cat({frame(0x00), frame(0x06, abc), frame(0x29, abc), frame(0xFF)})}, {}},
        {{frame(2, Bytes(0xFFFF, 0x5A))}, {{kRecordLine0Data, Bytes(0xFFFF, 0x5A)}}},
        {{everyPlain}, plainRecords},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        TempDir dir;
        Log log = logAfter(dir.path("c.qwlog"), cases[i].first);
        EXPECT_TRUE(log.valid);
        EXPECT_EQ(log.records, cases[i].second);
    }
}

TEST(QwlogTransport, AnySplitOfTheStreamGivesTheSameRecords) {
    const Bytes big(3000, 0x33), swallowing = {0x02, 0x7E, 0x08, 0x00};  // takes the status message after it
    const Bytes stream = cat({Bytes{0x00, 0x7F}, frame(3, big), swallowing, frame(4, le32(1)), frame(0x21, le32(2)),
                              Bytes{0x05}, frame(2, bytesOf("end"))});
    const std::vector<Rec> expected = {
        {kRecordLine1Data, big}, {kRecordLineErrors, le32(2)}, {kRecordLine0Data, bytesOf("end")}};
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{4099}, stream.size()}) {
        SCOPED_TRACE(chunk);
        std::vector<Bytes> writes;
        for (size_t at = 0; at < stream.size(); at += chunk)
            writes.emplace_back(stream.begin() + ptrdiff_t(at),
                                stream.begin() + ptrdiff_t(std::min(stream.size(), at + chunk)));
        TempDir dir;
        EXPECT_EQ(logAfter(dir.path("s.qwlog"), writes).records, expected);
    }
    // At most one message is held back, whatever comes.
    struct : QwlogRecordSink {
        bool writeRecord(uint64_t, ByteSpan, ByteSpan) override { return true; }
    } sink;
    QwlogConverter c(sink);
    const Bytes longest = frame(2, Bytes(0xFFFF, 1)), noKind(1 << 20, 3);
    ASSERT_TRUE(c.convert(ByteSpan(longest).first(longest.size() - 1)));
    EXPECT_EQ(c.partialSize(), QwlogConverter::kMaxPartial - 1);
    ASSERT_TRUE(c.convert(ByteSpan(longest).last(1)) && c.convert(noKind));
    EXPECT_EQ(c.partialSize(), 0u);
}

TEST(QwlogTransport, AppendsToAValidFileWithItsClassesAndReplacesAnythingElse) {
    const Bytes valid = logImage(kSerial);
    const std::pair<Bytes, bool> cases[] = {  // contents, appended to
        {logImage({kOtherGuid, kSerialGuid}), true}, {logImage({kOtherGuid}), false},
        {bytesOf("neither a header nor records, just text"), false}, {{}, false},
        {Bytes(valid.begin(), valid.begin() + 31), false},           // shorter than the fixed header
        {logImage(kSerial, {}, put<uint32_t>(4, 0x00030A01)), false},  // version
        {logImage(kSerial, {}, put<uint8_t>(31, 0xFF)), false},        // 256 GUIDs, past the end
        {logImage(kSerial, {}, put<uint64_t>(16, 28)), false},         // records one byte past the end
        {logImage(kSerial, {}, put<uint64_t>(16, ~uint64_t{0} - 40)), false},  // a sum that wraps around
        {logImage(kSerial, {}, put<uint8_t>(28, 47)), false},          // first record inside the GUIDs
        {logImage(kSerial, Bytes(8, 0xEE)), true},                     // a gap of 8 needs no auxiliary block
        {logImage(kSerial, Bytes(9, 0xEE)), false},                    // one of 9 must be one
        {logImage(kSerial, aux(16)), true}, {logImage(kSerial, aux(8)), true}, {logImage(kSerial, aux(7)), false},
        {logImage(kSerial, aux(17)), false}, {logImage(kSerial, aux(16, "aux_")), false},
    };
    const Rec old{kRecordLine0Data, bytesOf("old")}, fresh{kRecordLine1Data, bytesOf("new")};
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const auto& [before, appends] = cases[i];
        TempDir dir;
        writeFileBytes(dir.path("a.qwlog"), before);
        Log log = logAfter(dir.path("a.qwlog"), {frame(3, bytesOf("new"))});
        ASSERT_TRUE(log.valid);
        EXPECT_EQ(log.records, (appends ? std::vector<Rec>{old, fresh} : std::vector<Rec>{fresh}));
        EXPECT_EQ(log.guids, appends ? QwlogReader(before).classGuids() : kSerial);
    }
}

TEST(QwlogTransport, SplitSeriesFilesEachHaveAHeaderAndTheRecordsContinue) {
    // Records of 26 bytes: four fill a file of 100. The six-byte messages go in
    // whole, then in four-byte writes, which often end inside the message whose
    // record ends a file.
    Bytes stream;
    for (int i = 0; i < 10; ++i) stream = cat({stream, frame(2, le(uint64_t(i), 2))});
    for (size_t chunk : {6u, 4u}) {
        SCOPED_TRACE(chunk);
        TempDir dir;
        const std::string name = dir.path("cap.qwlog");
        QwlogTransport t(&tick);
        ASSERT_TRUE(t.open(name, 100, kNoSplit, kSerial));
        for (size_t at = 0; at < stream.size(); at += chunk) {
            const size_t n = std::min(chunk, stream.size() - at);
            ASSERT_EQ(t.write(stream.data() + at, n), n);
        }
        t.close();
        int next = 0;
        uint64_t lastStamp = 0;
        for (auto [file, count] : {std::pair{"cap-00.qwlog", 4u}, {"cap-01.qwlog", 4u}, {"cap-02.qwlog", 2u}}) {
            Log log = readLog(dir.path(file));
            ASSERT_TRUE(log.valid && log.guids == kSerial) << file;
            ASSERT_EQ(log.records.size(), count) << file;
            for (size_t i = 0; i < log.records.size(); ++i, ++next) {
                EXPECT_EQ(log.records[i], (Rec{kRecordLine0Data, le(uint64_t(next), 2)}));
                EXPECT_GT(log.stamps[i], std::exchange(lastStamp, log.stamps[i]));
            }
            // Files finished by a split are cut to their records; the last one is not.
            EXPECT_EQ(log.bytes.size(), next < 10 ? log.header.end() : kNewFileLength) << file;
        }
        // The series opened again continues its first file.
        const Bytes m = frame(2, le(10, 2));
        ASSERT_TRUE(t.open(name, 100, kNoSplit, kSerial) && t.write(m.data(), m.size()) == m.size());
        t.close();
        Log first = readLog(dir.path("cap-00.qwlog"));
        ASSERT_EQ(first.records.size(), 5u);
        EXPECT_EQ(first.records.back(), (Rec{kRecordLine0Data, le(10, 2)}));
        EXPECT_FALSE(std::filesystem::exists(name));
    }
}

TEST(QwlogTransport, FailuresAndUnsupportedCalls) {
    TempDir dir;
    std::filesystem::create_directory(dir.path("cap-01.qwlog"));
    QwlogTransport t;
    ASSERT_TRUE(t.open(dir.path("cap.qwlog"), 1, kNoSplit, kSerial));
    uint8_t buffer[4];
    EXPECT_EQ(t.read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(vek::err::getLastError().code(), vek::err::kWinCallNotImplemented);
    EXPECT_FALSE(t.wait());
    EXPECT_EQ(vek::err::getLastError().code(), vek::err::kWinCallNotImplemented);
    // The record lands in the first file; the next file cannot be opened.
    Bytes m = frame(3, bytesOf("kept"));
    EXPECT_EQ(t.write(m.data(), m.size()), kIoFailed);
    EXPECT_NE(vek::err::getLastError().code(), 0u);
    EXPECT_EQ(t.write(m.data(), m.size()), kIoFailed);
    t.close();
    Log log = readLog(dir.path("cap-00.qwlog"));
    EXPECT_EQ(log.records, (std::vector<Rec>{{kRecordLine1Data, bytesOf("kept")}}));
    EXPECT_EQ(log.bytes.size(), log.header.end());

    // No classes to write a header with: refused, and the file left as it was.
    const std::string path = dir.path("text.qwlog");
    writeFileBytes(path, bytesOf("plain text"));
    EXPECT_FALSE(t.open(path, kNoSplit, kNoSplit, {}));
    EXPECT_EQ(vek::err::getLastErrorDescription(), "'" + path + "' is not a valid log record file");
    EXPECT_EQ(readFileBytes(path), bytesOf("plain text"));
}
