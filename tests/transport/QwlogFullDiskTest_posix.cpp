#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cerrno>
#include <csignal>

#include "foundation/Error.h"
#include "transport/QwlogTransport.h"
#include "QwlogSupport.h"

using namespace qwlog_test;

// A file size limit stands in for a full disk: growing the file fails with a
// system error (EFBIG) where a full disk gives ENOSPC.
TEST(QwlogTransport, AFileThatCannotGrowFailsTheWriteAndKeepsEveryRecordBefore) {
    TempDir dir;
    const std::string path = dir.path("full.qwlog");
    const Bytes message = frame(2, Bytes(8192, 0x61));
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit low = old;
    low.rlim_cur = 4 * 65536;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    QwlogTransport t;
    const bool opened = t.open(path, kNoSplit, kNoSplit, {&kSerialGuid, 1});
    size_t written = 0, result = 0;
    while (opened && written < 100 && (result = t.write(message.data(), message.size())) == message.size()) ++written;
    const vek::err::Error failure(vek::err::getLastError());
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    ASSERT_TRUE(opened);
    EXPECT_EQ(result, kIoFailed);
    EXPECT_EQ(failure.ref().guid(), vek::err::kErrnoDomain);
    EXPECT_EQ(failure.ref().code(), uint32_t(EFBIG));
    t.close();
    Log log = readLog(path);
    ASSERT_TRUE(log.valid);
    EXPECT_GT(written, 10u);
    EXPECT_EQ(log.header.recordCount, written);
    EXPECT_EQ(log.records, std::vector<Rec>(written, Rec{kRecordLine0Data, Bytes(8192, 0x61)}));
    EXPECT_FALSE(log.malformed);
}
