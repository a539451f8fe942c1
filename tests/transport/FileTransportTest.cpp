#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>

#include "foundation/Error.h"
#include "support/CloseDuringRead.h"
#include "support/TempDir.h"
#include "support/TestHost.h"
#include "transport/FileTransport.h"

using vek::io::FileMode;
using vek::io::StdStream;

namespace {

std::vector<uint8_t> readSome(TransportBase& t, size_t n = 1024) {
    std::vector<uint8_t> buffer(n);
    size_t got = t.read(buffer.data(), buffer.size());
    if (got == kIoFailed) return {'!'};
    buffer.resize(got);
    return buffer;
}

}  // namespace

TEST(FileTransport, OpenModes) {
    struct Case {
        const char* name;
        FileMode mode;
        bool exists;       // the file is there beforehand, holding "abc"
        bool opens;
        const char* left;  // contents after opening
        bool reads, writes;
    };
    const Case cases[] = {
        {"single file keeps what is there", FileMode::kReadWrite, true, true, "abc", true, true},
        {"single file is created", FileMode::kReadWrite, false, true, "", true, true},
        {"command input must exist", FileMode::kReadExisting, false, false, nullptr, false, false},
        {"command input is read only", FileMode::kReadExisting, true, true, "abc", true, false},
        {"split output is truncated", FileMode::kOutputReadWrite, true, true, "", true, true},
        {"split output is created", FileMode::kOutputReadWrite, false, true, "", true, true},
        {"output is truncated and write only", FileMode::kOutputWriteOnly, true, true, "", false, true},
        {"output is created", FileMode::kOutputWriteOnly, false, true, "", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.path("file.bin");
        if (c.exists) writeFileBytes(path, bytesOf("abc"));
        FileTransport t;
        ASSERT_EQ(t.open(path, c.mode), c.opens);
        if (!c.opens) {
            EXPECT_EQ(vek::err::getLastError().code(), 2u);  // ENOENT and ERROR_FILE_NOT_FOUND alike
            EXPECT_FALSE(std::filesystem::exists(path));
            continue;
        }
        EXPECT_EQ(readFileBytes(path), bytesOf(c.left));
        uint8_t buffer[8];
        EXPECT_EQ(t.read(buffer, sizeof buffer) != kIoFailed, c.reads);
        EXPECT_EQ(t.write("xy", 2) == 2, c.writes);
    }
}

TEST(FileTransport, StandardInputDataThenEnd) {
    StdInputFromPipe input;
    ASSERT_TRUE(input.ok());
    FileTransport t;
    ASSERT_TRUE(t.attachStd(StdStream::kInput));
    ASSERT_TRUE(input.write(bytesOf("hello")));
    EXPECT_EQ(readSome(t), bytesOf("hello"));
    ASSERT_TRUE(input.write(bytesOf("world")));
    EXPECT_EQ(readSome(t, 3), bytesOf("wor"));
    EXPECT_EQ(readSome(t, 3), bytesOf("ld"));
    // The host closing its end is the end of input, not a failure.
    input.closeWriter();
    EXPECT_EQ(readSome(t), std::vector<uint8_t>{});
}

TEST(FileTransport, WritingToAReadOnlyStandardInputFailsAtOnce) {
    // Command replies go back to the command input; when that is a read-only
    // pipe they must be dropped, not wait for the host to close its end.
    StdInputFromPipe input;
    ASSERT_TRUE(input.ok());
    FileTransport t;
    ASSERT_TRUE(t.attachStd(StdStream::kInput));
    auto reply = std::async(std::launch::async, [&] { return t.write("\x02\x00\x00\x00", 4); });
    bool prompt = reply.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!prompt) input.closeWriter();  // lets a stuck write go before failing
    EXPECT_TRUE(prompt);
    EXPECT_EQ(reply.get(), kIoFailed);
    // Reading still works.
    ASSERT_TRUE(input.write(bytesOf("cmd")));
    EXPECT_EQ(readSome(t), bytesOf("cmd"));
}

TEST(FileTransport, CloseWakesAReadBlockedOnStandardInput) {
    StdInputFromPipe input;
    ASSERT_TRUE(input.ok());
    FileTransport t;
    ASSERT_TRUE(t.attachStd(StdStream::kInput));
    CloseDuringRead outcome = closeDuringRead(t);
    EXPECT_EQ(outcome.result, 0u);
    EXPECT_LT(outcome.millisecondsAfterClose, 1000);
    // Bytes that come later are not read through the closed transport, and
    // nothing more is written through it.
    ASSERT_TRUE(input.write(bytesOf("late")));
    EXPECT_EQ(readSome(t), std::vector<uint8_t>{});
    EXPECT_EQ(t.write("x", 1), kIoFailed);
    t.close();
}
