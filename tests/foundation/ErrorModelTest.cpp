#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
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

std::vector<uint8_t> lastBytes() {
    ErrorRef r = getLastError();
    return std::vector<uint8_t>(r.data(), r.data() + r.size());
}

const ErrorHdr* hdr(const std::vector<uint8_t>& bytes) { return reinterpret_cast<const ErrorHdr*>(bytes.data()); }

}  // namespace

// The bytes travel to the host: a text record and a Windows code record.
TEST(ErrorRecord, LayoutIsByteExact) {
    setFormatStringError("bad %s %d", "thing", 7);
    const uint8_t text[] = {
        0x24, 0, 0, 0,                                   // size 24 + 11 + 1
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // standard domain
        1, 0, 0, 0,                                      // text message
        'b', 'a', 'd', ' ', 't', 'h', 'i', 'n', 'g', ' ', '7', 0,
    };
    EXPECT_EQ(lastBytes(), std::vector<uint8_t>(std::begin(text), std::end(text)));
    setWinError(87);
    const uint8_t win[] = {24,   0,    0,    0,    0xE8, 0x00, 0xE1, 0x54, 0x37, 0x21, 0xB8, 0x40,
                           0xBC, 0xD8, 0x00, 0xAC, 0x1D, 0x0B, 0xAA, 0x16, 87,   0,    0,    0};
    EXPECT_EQ(lastBytes(), std::vector<uint8_t>(std::begin(win), std::end(win)));
}

TEST(LastError, NoErrorUntilSetAndPerThread) {
    setStringError("main thread failure");
    std::thread([] { EXPECT_EQ(lastBytes(), record(24, kStdDomain, 0)); }).join();
    // Reading does not clear; an empty view does.
    EXPECT_EQ(getLastErrorDescription(), "main thread failure");
    EXPECT_EQ(getLastErrorDescription(), "main thread failure");
    setError(ErrorRef());
    EXPECT_EQ(getLastErrorDescription(), "no error");
}

// A bare record reaches as far as its size field says, but never less than a header.
TEST(ErrorMgr, RouterTakesBareRecords) {
    auto text = record(27, kStdDomain, 1, "xyz");
    getErrorMgr().routeError(hdr(text));
    EXPECT_EQ(getLastError().size(), 27u);
    EXPECT_EQ(getLastErrorDescription(), "xyz");
    EXPECT_STREQ(getErrorMgr().getErrorDescription(hdr(text)), "xyz");
    auto shortRecord = record(3, kStdDomain, 0);
    getErrorMgr().routeError(hdr(shortRecord));
    EXPECT_EQ(getLastError().size(), kHeaderSize);
}

TEST(ErrorProviders, Descriptions) {
    const std::pair<std::vector<uint8_t>, std::string> cases[] = {  // record, description
        {record(24, kStdDomain, 0), "no error"}, {record(24, kStdDomain, 1), ""},
        {record(28, kStdDomain, 1, std::string_view("abc\0", 4)), "abc"}, {record(27, kStdDomain, 1, "abc"), "abc"},
        {record(99, kStdDomain, 1, "ab"), "ab"},  // the size field reaches past the view
        {record(24, kStdDomain, 0xFFFFFFFE), "error #-2"},
        {record(10, kStdDomain, 1, "xyz"), ""},  // shorter than a header
        {record(24, kCfgMgrDomain, 0), "CR_SUCCESS"}, {record(24, kCfgMgrDomain, 0x3B), "CR_INVALID_STRUCTURE_SIZE"},
        {record(24, kCfgMgrDomain, 0x3C), "CR_ERROR_0x003c"}, {record(24, kCfgMgrDomain, 0x12345), "CR_ERROR_0x12345"},
        {record(24, kWinDomain, 0xDEAD0000), "winerror #-559087616"},
        {record(24, kNtStatusDomain, 0xC0DEF00D), "ntstatus 0xc0def00d"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(describe(cases[i].first), cases[i].second) << "case " << i;

    // System texts differ between Windows, Wine and our POSIX table: only check
    // that the codes the program raises have a real text.
    for (uint32_t code : {2u, 87u, 120u, 122u, 1450u, 1609u}) {
        std::string text = describe(record(24, kWinDomain, code));
        EXPECT_TRUE(!text.empty() && text.find("winerror") == std::string::npos) << code << ": " << text;
    }
    std::string noEntry = describe(record(24, kErrnoDomain, ENOENT));
    EXPECT_FALSE(noEntry.empty());
    EXPECT_NE(noEntry, describe(record(24, kErrnoDomain, EACCES)));
}

TEST(ErrorProviders, CompositeWalkJoinsAndStopsAtBadRecords) {
    auto one = record(28, kStdDomain, 1, std::string_view("one\0", 4));
    auto join = [](std::vector<std::vector<uint8_t>> parts) {
        std::string payload;
        for (auto& p : parts) payload.append(reinterpret_cast<const char*>(p.data()), p.size());
        return record(static_cast<uint32_t>(kHeaderSize + payload.size()), kStdDomain, 2, payload);
    };
    EXPECT_EQ(describe(join({one, record(24, kWinDomain, 0x7FFFFFF0)})), "one: winerror #2147483632");
    // A contained record whose size is below a header, or reaches past the end,
    // ends the walk without reading outside the payload.
    EXPECT_EQ(describe(join({one, record(8, kStdDomain, 1), one})), "one");
    EXPECT_EQ(describe(join({one, record(400, kStdDomain, 1, "zz")})), "one");
    // An empty contained text still gets its separator; composites nest.
    EXPECT_EQ(describe(join({one, record(24, kStdDomain, 1), one})), "one: : one");
    EXPECT_EQ(describe(join({join({one, one}), one})), "one: one: one");
}

TEST(ErrorMgr, UnknownDomainAndProviderReplacement) {
    struct Fixed : ErrorProvider {
        const char* text;
        explicit Fixed(const char* t) : text(t) {}
        std::string getErrorDescription(ErrorRef) const override { return text; }
    };
    static const Fixed first("first"), second("second");
    constexpr Guid kDomain{0x0123ABCE, 0x4567, 0x89EF, {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x11, 0x22, 0x33}};
    EXPECT_EQ(describe(record(24, kDomain, 0xFFFFFFFF)), "0123abce-4567-89ef-dead-beef00112233::-1");
    getErrorMgr().registerProvider(kDomain, &first);
    EXPECT_EQ(describe(record(24, kDomain, 5)), "first");
    getErrorMgr().registerProvider(kDomain, &second);
    EXPECT_EQ(getErrorMgr().findProvider(kDomain), &second);
    EXPECT_EQ(describe(record(24, kDomain, 5)), "second");
}
