#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "foundation/Error.h"
#include "foundation/ErrorMgr.h"
#include "foundation/ErrorProviders.h"

using namespace vek;
using namespace vek::err;

namespace {

std::vector<uint8_t> record(uint32_t size, const Guid& guid, uint32_t code, std::string_view payload = {}) {
    std::vector<uint8_t> bytes(kHeaderSize + payload.size());
    ErrorHdr hdr{size, guid, code};
    std::memcpy(bytes.data(), &hdr, kHeaderSize);
    if (!payload.empty()) std::memcpy(bytes.data() + kHeaderSize, payload.data(), payload.size());
    return bytes;
}

std::string describe(const std::vector<uint8_t>& bytes) {
    return getErrorDescription(ErrorRef(bytes.data(), bytes.size()));
}

constexpr Guid kUnknownDomain{0x0123ABCD, 0x4567, 0x89EF, {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x11, 0x22, 0x33}};

}  // namespace

TEST(ErrorRecord, LayoutIsByteExact) {
    setFormatStringError("bad %s %d", "thing", 7);
    ErrorRef ref = getLastError();
    const uint8_t expected[] = {
        0x24, 0, 0, 0,                                   // size 24 + 11 + 1
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // standard domain
        1, 0, 0, 0,                                      // text message
        'b', 'a', 'd', ' ', 't', 'h', 'i', 'n', 'g', ' ', '7', 0,
    };
    ASSERT_EQ(ref.size(), sizeof expected);
    EXPECT_EQ(0, std::memcmp(ref.data(), expected, sizeof expected));

    setWinError(87);
    ref = getLastError();
    const uint8_t win[] = {24,   0,    0,    0,    0xE8, 0x00, 0xE1, 0x54, 0x37, 0x21, 0xB8, 0x40,
                           0xBC, 0xD8, 0x00, 0xAC, 0x1D, 0x0B, 0xAA, 0x16, 87,   0,    0,    0};
    ASSERT_EQ(ref.size(), sizeof win);
    EXPECT_EQ(0, std::memcmp(ref.data(), win, sizeof win));
}

TEST(ErrorRecord, ViewFromBarePointerIsAtLeastAHeader) {
    auto shortRecord = record(3, kStdDomain, 0);
    EXPECT_EQ(ErrorRef::fromRecord(shortRecord.data()).size(), kHeaderSize);
    auto longRecord = record(30, kStdDomain, 1, "abcdef");
    EXPECT_EQ(ErrorRef::fromRecord(longRecord.data()).size(), 30u);
}

TEST(LastError, NoErrorUntilSetAndPerThread) {
    std::thread([] {
        ErrorRef ref = getLastError();
        EXPECT_EQ(ref.size(), kHeaderSize);
        EXPECT_EQ(ref.recordSize(), kHeaderSize);
        EXPECT_EQ(ref.guid(), kStdDomain);
        EXPECT_EQ(ref.code(), 0u);
        EXPECT_EQ(getLastErrorDescription(), "no error");
    }).join();

    setStringError("main thread failure");
    std::thread([] { EXPECT_EQ(getLastErrorDescription(), "no error"); }).join();
    EXPECT_EQ(getLastErrorDescription(), "main thread failure");
    // Reading does not clear; an empty view does.
    EXPECT_EQ(getLastErrorDescription(), "main thread failure");
    setError(ErrorRef());
    EXPECT_EQ(getLastErrorDescription(), "no error");
}

TEST(StdErrorProvider, Descriptions) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"no error", record(24, kStdDomain, 0), "no error"},
        {"text of exactly a header", record(24, kStdDomain, 1), ""},
        {"text ending in NUL", record(28, kStdDomain, 1, std::string_view("abc\0", 4)), "abc"},
        {"text without NUL", record(27, kStdDomain, 1, "abc"), "abc"},
        {"size field past the view", record(99, kStdDomain, 1, "ab"), "ab"},
        {"other code", record(24, kStdDomain, 7), "error #7"},
        {"negative code", record(24, kStdDomain, 0xFFFFFFFE), "error #-2"},
        {"record shorter than a header", record(10, kStdDomain, 1, "xyz"), ""},
    };
    for (const Case& c : cases) EXPECT_EQ(describe(c.bytes), c.expected) << c.name;
}

TEST(StdErrorProvider, CompositeWalkJoinsAndStopsAtBadRecords) {
    auto inner1 = record(28, kStdDomain, 1, std::string_view("one\0", 4));
    auto inner2 = record(24, kWinDomain, 0x7FFFFFF0);  // no system text anywhere
    auto join = [](std::vector<std::vector<uint8_t>> parts) {
        std::string payload;
        for (auto& p : parts) payload.append(reinterpret_cast<const char*>(p.data()), p.size());
        return record(static_cast<uint32_t>(kHeaderSize + payload.size()), kStdDomain, 2, payload);
    };
    EXPECT_EQ(describe(join({inner1, inner2})), "one: winerror #2147483632");
    EXPECT_EQ(describe(join({})), "");

    // A contained record whose size is below a header, or reaches past the end,
    // ends the walk without reading outside the payload.
    auto tooShort = record(8, kStdDomain, 1);
    EXPECT_EQ(describe(join({inner1, tooShort, inner1})), "one");
    auto pastEnd = record(400, kStdDomain, 1, "zz");
    EXPECT_EQ(describe(join({inner1, pastEnd})), "one");
    auto zeroSize = record(0, kStdDomain, 0);
    EXPECT_EQ(describe(join({zeroSize, inner1})), "");

    // An empty contained text still gets its separator.
    auto empty = record(24, kStdDomain, 1);
    EXPECT_EQ(describe(join({inner1, empty, inner1})), "one: : one");
    // Composites nest.
    EXPECT_EQ(describe(join({join({inner1, inner1}), inner1})), "one: one: one");
}

TEST(ErrorMgr, UnknownDomainAndProviderReplacement) {
    EXPECT_EQ(describe(record(24, kUnknownDomain, 5)), "0123abcd-4567-89ef-dead-beef00112233::5");
    EXPECT_EQ(describe(record(24, kUnknownDomain, 0xFFFFFFFF)), "0123abcd-4567-89ef-dead-beef00112233::-1");

    struct Fixed : ErrorProvider {
        std::string text;
        explicit Fixed(std::string t) : text(std::move(t)) {}
        std::string getErrorDescription(ErrorRef) const override { return text; }
    };
    static const Fixed first("first"), second("second");
    getErrorMgr().registerProvider(kUnknownDomain, &first);
    EXPECT_EQ(getErrorMgr().findProvider(kUnknownDomain), &first);
    EXPECT_EQ(describe(record(24, kUnknownDomain, 5)), "first");
    getErrorMgr().registerProvider(kUnknownDomain, &second);
    EXPECT_EQ(describe(record(24, kUnknownDomain, 5)), "second");
}

TEST(ErrorMgr, RouterDescribesIntoPerThreadText) {
    auto bytes = record(27, kStdDomain, 1, "xyz");
    ErrorRouter& router = getErrorMgr();
    router.routeError(reinterpret_cast<const ErrorHdr*>(bytes.data()));
    EXPECT_EQ(getLastErrorDescription(), "xyz");
    EXPECT_STREQ(router.getErrorDescription(reinterpret_cast<const ErrorHdr*>(bytes.data())), "xyz");
    auto empty = record(24, kStdDomain, 1);
    EXPECT_STREQ(router.getErrorDescription(reinterpret_cast<const ErrorHdr*>(empty.data())), "");
}

TEST(CfgMgrErrorProvider, NamesAndFallback) {
    const std::pair<uint32_t, const char*> cases[] = {
        {0, "CR_SUCCESS"},      {0x13, "CR_FAILURE"}, {0x3B, "CR_INVALID_STRUCTURE_SIZE"},
        {0x3C, "CR_ERROR_0x003c"}, {0x12345, "CR_ERROR_0x12345"},
    };
    for (auto [code, text] : cases) EXPECT_EQ(describe(record(24, kCfgMgrDomain, code)), text) << code;
}

TEST(WinErrorProvider, KnownCodesHaveTextAndUnknownFallBack) {
    // System texts differ between Windows, Wine and our POSIX table: only check
    // that the codes the program raises have a real text.
    for (uint32_t code : {2u, 87u, 120u, 122u, 1450u, 1609u}) {
        std::string text = describe(record(24, kWinDomain, code));
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_EQ(text.find("winerror"), std::string::npos) << code;
    }
    EXPECT_EQ(describe(record(24, kWinDomain, 0x7FFFFFF0)), "winerror #2147483632");
    EXPECT_EQ(describe(record(24, kWinDomain, 0xDEAD0000)), "winerror #-559087616");
}

TEST(NtStatusProvider, UnknownStatusFallsBackToHex) {
    EXPECT_EQ(describe(record(24, kNtStatusDomain, 0xC0DEF00D)), "ntstatus 0xc0def00d");
}

TEST(ErrnoProvider, DescribesWithTheCLibrary) {
    std::string text = describe(record(24, kErrnoDomain, ENOENT));
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text, describe(record(24, kErrnoDomain, EACCES)));
}
