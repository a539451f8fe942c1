#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "foundation/Error.h"
#include "foundation/MappedFile.h"
#include "transport/QwlogTransport.h"
#include "QwlogSupport.h"

using namespace qwlog_test;

namespace {

const std::vector<vek::Guid> kSerial = {kSerialGuid};

uint64_t grownLength(uint64_t end) {
    const uint64_t unit = vek::io::MappedFile::sizeAlignment();
    return (end + vek::io::MappedFile::kGrowth + unit - 1) / unit * unit;
}

// Opens `path` (no split), writes each chunk, closes; the log as it then is.
Log logAfter(const std::string& path, const std::vector<Bytes>& writes, const std::vector<vek::Guid>& guids = kSerial) {
    QwlogTransport t(&tick);
    EXPECT_TRUE(t.open(path, kNoSplit, kNoSplit, guids)) << vek::err::getLastErrorDescription();
    for (const Bytes& w : writes) EXPECT_EQ(t.write(w.data(), w.size()), w.size());
    t.close();
    return readLog(path);
}

Bytes pair(uint32_t value, uint32_t changed) { return cat({u32(value), u32(changed)}); }

Bytes textRecord(const std::string& text) {
    vek::err::Error e = vek::err::Error::fromText(text);
    return Bytes(e.ref().data(), e.ref().data() + e.ref().size());
}

}  // namespace

TEST(QwlogTransport, NewFileHasItsHeaderAndGrownLengthThenExactRecords) {
    for (const std::vector<vek::Guid>& guids : {kSerial, std::vector<vek::Guid>{kOtherGuid, kSerialGuid, kThirdGuid}}) {
        TempDir dir;
        const std::string path = dir.path("new.qwlog");
        const size_t size = 32 + 16 * guids.size();
        Bytes header = cat({bytesOf("log:"), u32(0x00030A00), le(0, 8), le(0, 8), u32(0),
                            le(size | (guids.size() - 1) << 24, 4)});
        for (const vek::Guid& g : guids) header = cat({header, guidBytes(g)});

        QwlogTransport t(&tick);
        ASSERT_TRUE(t.open(path, kNoSplit, kNoSplit, guids));
        Bytes bytes = readFileBytes(path);
        ASSERT_EQ(bytes.size(), grownLength(size));
        EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + ptrdiff_t(size)), header);
        EXPECT_EQ(bytes[size], 0);

        Bytes message = frame(3, bytesOf("abc"));
        ASSERT_EQ(t.write(message.data(), message.size()), message.size());
        const uint64_t stamp = clockNow;
        t.close();
        bytes = readFileBytes(path);
        EXPECT_EQ(bytes.size(), grownLength(size));  // closed as it stands
        Bytes counted = cat({bytesOf("log:"), u32(0x00030A00), le(1, 8), le(27, 8), u32(27)});
        EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 28), counted);
        Bytes record = cat({Bytes{0x0A, 'r', 'c', ':'}, u32(3), le(0x61D47FF1FC334A11, 8), le(stamp, 8), bytesOf("abc")});
        EXPECT_EQ(Bytes(bytes.begin() + ptrdiff_t(size), bytes.begin() + ptrdiff_t(size + 27)), record);
    }
}

TEST(QwlogTransport, ConvertsEachMessageCode) {
    const Bytes abc = bytesOf("abc");
    const Bytes errorRecord = textRecord("port gone");
    Bytes text = bytesOf("disk full");
    text.push_back(0);
    text.push_back('x');
    struct Case {
        const char* name;
        std::vector<Bytes> writes;
        std::vector<Rec> records;
    };
    const Case cases[] = {
        {"data of both lines in one write", {cat({frame(2, abc), frame(3, abc)})},
         {{kRecordLine0Data, abc}, {kRecordLine1Data, abc}}},
        {"header and payload in two writes", {Bytes{2, 3, 3, 0}, abc}, {{kRecordLine1Data, abc}}},
        {"garbage before a message", {cat({Bytes{0xFF, 0x00, 0x7E, 0x20}, frame(3, abc)})}, {{kRecordLine1Data, abc}}},
        {"code 4: a first 0 and a repeat record nothing",
         {frame(4, u32(0)), frame(4, u32(6)), frame(4, u32(6)), frame(4, u32(3))},
         {{kRecordLine0Status, pair(6, 6)}, {kRecordLine0Status, pair(3, 5)}}},
        {"codes 5 and 0x22 share one value, code 4 has its own",
         {frame(5, u32(9)), frame(0x22, u32(9)), frame(4, u32(9)), frame(0x22, cat({u32(1), Bytes{7}}))},
         {{kRecordLine1Status, pair(9, 9)}, {kRecordLine0Status, pair(9, 9)}, {kRecordLine1Status, pair(1, 8)}}},
        {"line errors", {frame(0x21, u32(5))}, {{kRecordLineErrors, u32(5)}}},
        {"values too short to read", {frame(4, {1, 2, 3}), frame(0x22, {}), frame(0x21, {5})}, {}},
        {"text error up to its NUL", {frame(1, text)}, {{kRecordTextError, textRecord("disk full")}}},
        {"error record as it is", {frame(0x20, errorRecord)}, {{kRecordTextError, errorRecord}}},
        {"unknown codes give nothing", {cat({frame(0x00), frame(0x06, abc), frame(0x29, abc), frame(0xFF)})}, {}},
        {"the largest message", {frame(2, Bytes(0xFFFF, 0x5A))}, {{kRecordLine0Data, Bytes(0xFFFF, 0x5A)}}},
        {"every payload code",
         {cat({frame(7, {7}), frame(8, {8}), frame(9, {9}), frame(10, {10}), frame(11, {11}), frame(12, {12}),
               frame(13, {13}), frame(14, {14}), frame(15, {15}), frame(16, {16}), frame(20, {20}), frame(21, {21}),
               frame(22, {22}), frame(27, {27}), frame(28, {28})})},
         {{0x01D487BB6423B806, {7}}, {0x01D487BB6423B804, {8}}, {0x01D487BB6423B805, {9}},
          {0x01D487BB6423B80F, {10}}, {0x01D487BB6423B810, {11}}, {0x01D487BB6423B811, {12}},
          {0x01D487BB6423B812, {13}}, {0x01D487BB6423B813, {14}}, {0x01D487BB6423B814, {15}},
          {0x01D487BB6423B815, {16}}, {0x01D487BB6423B816, {20}}, {0x01D487BB6423B817, {21}},
          {0x61D47FF1FC334A12, {22}}, {0x81D4CDAFA0ABB0E7, {27}}, {0x81D4CDAFA0ABB0E8, {28}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Log log = logAfter(dir.path("c.qwlog"), c.writes);
        ASSERT_TRUE(log.valid);
        EXPECT_EQ(log.records, c.records);
        EXPECT_EQ(log.header.recordCount, c.records.size());
        EXPECT_FALSE(log.malformed);
    }
}

TEST(QwlogTransport, AnySplitOfTheStreamGivesTheSameRecords) {
    const Bytes big(3000, 0x33);
    // A header of an unknown code that swallows the status message after it.
    const Bytes swallowing = {0x02, 0x7E, 0x08, 0x00};
    const Bytes stream = cat({Bytes{0x00, 0x7F}, frame(3, big), swallowing, frame(4, u32(1)), frame(0x21, u32(2)),
                              Bytes{0x05, 0x05}, frame(2, bytesOf("end"))});
    const std::vector<Rec> expected = {
        {kRecordLine1Data, big}, {kRecordLineErrors, u32(2)}, {kRecordLine0Data, bytesOf("end")}};
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{4099}, stream.size()}) {
        SCOPED_TRACE(chunk);
        std::vector<Bytes> writes;
        for (size_t at = 0; at < stream.size(); at += chunk)
            writes.emplace_back(stream.begin() + ptrdiff_t(at),
                                stream.begin() + ptrdiff_t(std::min(stream.size(), at + chunk)));
        TempDir dir;
        EXPECT_EQ(logAfter(dir.path("s.qwlog"), writes).records, expected);
    }
}

TEST(QwlogConverter, HoldsAtMostOnePartialMessage) {
    struct Counter : QwlogRecordSink {
        size_t records = 0;
        bool writeRecord(uint64_t, ByteSpan, ByteSpan) override { return ++records, true; }
    } sink;
    QwlogConverter c(sink);
    Bytes message = frame(2, Bytes(0xFFFF, 1));
    ASSERT_TRUE(c.convert(ByteSpan(message).first(message.size() - 1)));
    EXPECT_EQ(c.partialSize(), QwlogConverter::kMaxPartial - 1);
    ASSERT_TRUE(c.convert(ByteSpan(message).last(1)));
    EXPECT_EQ(c.partialSize(), 0u);
    EXPECT_EQ(sink.records, 1u);
    const Bytes noKind(1 << 20, 0x03);
    ASSERT_TRUE(c.convert(noKind));
    EXPECT_EQ(c.partialSize(), 0u);
}

namespace {

// A log file with one record "old", its GUIDs and `between` bytes between the
// GUIDs and the record; `edit` then changes what a case needs.
Bytes logImage(const std::vector<vek::Guid>& guids, const Bytes& between = {},
               const std::function<void(Bytes&)>& edit = nullptr) {
    const size_t offset = 32 + 16 * guids.size() + between.size();
    Bytes image = cat({bytesOf("log:"), u32(0x00030A00), le(1, 8), le(27, 8), u32(27),
                       le(offset | (guids.size() - 1) << 24, 4)});
    for (const vek::Guid& g : guids) image = cat({image, guidBytes(g)});
    image = cat({image, between, Bytes{0x0A, 'r', 'c', ':'}, u32(3), le(kRecordLine0Data, 8), le(7, 8), bytesOf("old")});
    if (edit) edit(image);
    return image;
}

template <typename T>
std::function<void(Bytes&)> put(size_t at, T value) {
    return [=](Bytes& b) { std::memcpy(b.data() + at, &value, sizeof value); };
}

Bytes aux(uint32_t size, size_t gap, const char* signature = "aux:") {
    Bytes b = cat({bytesOf(signature), u32(size)});
    b.resize(gap, 0xEE);
    return b;
}

}  // namespace

TEST(QwlogTransport, AppendsToAValidFileWithItsClassesAndReplacesAnythingElse) {
    const Rec old{kRecordLine0Data, bytesOf("old")}, fresh{kRecordLine1Data, bytesOf("new")};
    const Bytes valid = logImage(kSerial);
    struct Case {
        const char* name;
        Bytes before;
        bool appends;
    };
    const Case cases[] = {
        {"ours among other classes", logImage({kOtherGuid, kSerialGuid}), true},
        {"other classes", logImage({kOtherGuid, kThirdGuid}), false},
        {"other content", bytesOf("neither a header nor records, just text"), false},
        {"empty", {}, false},
        {"shorter than the fixed header", Bytes(valid.begin(), valid.begin() + 31), false},
        {"wrong version", logImage(kSerial, {}, put<uint32_t>(4, 0x00030A01)), false},
        {"GUIDs past the end", logImage(kSerial, {}, put<uint8_t>(31, 0xFF)), false},
        {"records one byte past the end", logImage(kSerial, {}, put<uint64_t>(16, 28)), false},
        {"records size wrapping around", logImage(kSerial, {}, put<uint64_t>(16, ~uint64_t{0} - 40)), false},
        {"record offset inside the GUIDs", logImage(kSerial, {}, put<uint8_t>(28, 47)), false},
        {"record offset past the end", logImage(kSerial, {}, put<uint8_t>(29, 0x10)), false},
        {"a gap of 8 bytes needs no auxiliary block", logImage(kSerial, Bytes(8, 0xEE)), true},
        {"a gap of 9 bytes must be one", logImage(kSerial, Bytes(9, 0xEE)), false},
        {"auxiliary block filling the gap", logImage(kSerial, aux(16, 16)), true},
        {"auxiliary block of 8 bytes", logImage(kSerial, aux(8, 16)), true},
        {"auxiliary block below 8 bytes", logImage(kSerial, aux(7, 16)), false},
        {"auxiliary block past the records' start", logImage(kSerial, aux(17, 16)), false},
        {"auxiliary block without its signature", logImage(kSerial, aux(16, 16, "aux_")), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.path("a.qwlog");
        writeFileBytes(path, c.before);
        Log log = logAfter(path, {frame(3, bytesOf("new"))});
        ASSERT_TRUE(log.valid);
        EXPECT_EQ(log.records, (c.appends ? std::vector<Rec>{old, fresh} : std::vector<Rec>{fresh}));
        if (c.appends) {
            QwlogReader before(c.before);
            EXPECT_EQ(log.guids, before.classGuids());
            EXPECT_EQ(log.header.recordOffset, before.header().recordOffset);
        } else {
            EXPECT_EQ(log.guids, kSerial);
        }
    }
}

TEST(QwlogTransport, ReopeningAFileClosedAsItStandsAppendsRightAfterItsRecords) {
    TempDir dir;
    const std::string path = dir.path("again.qwlog");
    logAfter(path, {frame(2, bytesOf("first"))});
    Log log = logAfter(path, {frame(2, bytesOf("second"))});
    EXPECT_EQ(log.records, (std::vector<Rec>{{kRecordLine0Data, bytesOf("first")}, {kRecordLine0Data, bytesOf("second")}}));
    EXPECT_EQ(log.header.recordsSize, 24u * 2 + 11);
    EXPECT_EQ(log.bytes.size(), grownLength(log.header.end()));
    // Not a log, and no classes to write a header with: refused, and the file
    // left as it was.
    const Bytes other = bytesOf("plain text");
    writeFileBytes(path, other);
    QwlogTransport t;
    EXPECT_FALSE(t.open(path, kNoSplit, kNoSplit, {}));
    EXPECT_EQ(vek::err::getLastErrorDescription(), "'" + path + "' is not a valid log record file");
    EXPECT_EQ(readFileBytes(path), other);
}

TEST(QwlogTransport, SplitSeriesFilesEachHaveAHeaderAndTheRecordsContinue) {
    TempDir dir;
    // Records of 26 bytes: a file is full after four.
    auto numbered = [](int i) { return frame(2, le(uint64_t(i), 2)); };
    QwlogTransport t(&tick);
    ASSERT_TRUE(t.open(dir.path("cap.qwlog"), 100, kNoSplit, kSerial));
    for (int i = 0; i < 10; ++i) {
        Bytes m = numbered(i);
        ASSERT_EQ(t.write(m.data(), m.size()), m.size());
    }
    EXPECT_EQ(t.fileName(), dir.path("cap-02.qwlog"));
    t.close();
    EXPECT_FALSE(std::filesystem::exists(dir.path("cap.qwlog")));
    int next = 0;
    uint64_t lastStamp = 0;
    for (const char* name : {"cap-00.qwlog", "cap-01.qwlog", "cap-02.qwlog"}) {
        SCOPED_TRACE(name);
        Log log = readLog(dir.path(name));
        ASSERT_TRUE(log.valid);
        EXPECT_EQ(log.guids, kSerial);
        for (size_t i = 0; i < log.records.size(); ++i, ++next) {
            EXPECT_EQ(log.records[i], (Rec{kRecordLine0Data, le(uint64_t(next), 2)}));
            EXPECT_GT(log.timestamps[i], lastStamp);
            lastStamp = log.timestamps[i];
        }
        // Files finished by a split are cut to their records; the last one is not.
        EXPECT_EQ(log.bytes.size(), next < 10 ? log.header.end() : grownLength(log.header.end()));
    }
    EXPECT_EQ(next, 10);

    // Opening the series again appends to its first file.
    QwlogTransport reopened(&tick);
    ASSERT_TRUE(reopened.open(dir.path("cap.qwlog"), 100, kNoSplit, kSerial));
    Bytes m = numbered(10);
    ASSERT_EQ(reopened.write(m.data(), m.size()), m.size());
    reopened.close();
    EXPECT_FALSE(std::filesystem::exists(dir.path("cap.qwlog")));
    Log first = readLog(dir.path("cap-00.qwlog"));
    ASSERT_EQ(first.records.size(), 5u);
    EXPECT_EQ(first.records.back(), (Rec{kRecordLine0Data, le(10, 2)}));
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
    // The record lands in the first file; the second cannot be opened.
    Bytes m = frame(3, bytesOf("kept"));
    EXPECT_EQ(t.write(m.data(), m.size()), kIoFailed);
    EXPECT_NE(vek::err::getLastError().code(), 0u);
    EXPECT_EQ(t.write(m.data(), m.size()), kIoFailed);
    t.close();
    Log log = readLog(dir.path("cap-00.qwlog"));
    EXPECT_EQ(log.records, (std::vector<Rec>{{kRecordLine1Data, bytesOf("kept")}}));
    EXPECT_EQ(log.bytes.size(), log.header.end());
}
