// The Ethernet Plim controller on the simulator in pcap mode: a restart by host
// command begins a second pcap stream, and only pcap bytes reach the output, also
// when an upload the host asked for fails.
#include <future>

#include "EthernetRecords.h"
#include "fpga/EthernetPlimController.h"
#include "support/TempDir.h"
#include "support/UsbSimTest.h"

using namespace ethernet_test;

class EthernetControllerTest : public UsbSimTest {};

TEST_F(EthernetControllerTest, PcapRestartsBeginANewStreamAndMessagesStayOut) {
    // One 60-byte frame per read, 100 a second; the flash cannot be erased.
    load("device 326f:0003 model=fpga\nfail control 0x40 0x52 pipe\nframe size=60\nchunk 64\nrate 6400\nthen repeat\n");
    TempDir dir;
    writeFileBytes(dir.path("f.rpd"), Bytes(32));
    Settings s;
    s.flags = kFlagPcap;
    s.firmwareFileName = dir.path("f.rpd");
    EthernetPlimController c(&s);
    MemoryTransport out, in;
    auto run = std::async(std::launch::async, [&] { return c.run(&out, &in); });
    const size_t record = 16 + 60;
    ASSERT_TRUE(out.waitForOutput(24 + 3 * record));
    in.pushInput(cat({frame(31), frame(30)}));
    ASSERT_TRUE(in.waitForOutput(8));
    size_t restarted = out.output().size();
    ASSERT_TRUE(out.waitForOutput(restarted + 3 * record));
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();  // the uploader's texts
    in.pushInput(frame(29));
    for (int i = 0; i < 500 && recorded("control dev=dev0 type=0x40 req=0x52").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    in.endInput();
    EXPECT_TRUE(run.get());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: firmware upload failed: Pipe error\n");

    EXPECT_EQ(in.output(), cat({frame(0), frame(0), frame(0)}));  // the replies
    Bytes stream = out.output();
    int headers = 0;
    for (const PcapRecord& r : readPcap(stream, &headers)) ASSERT_EQ(r.frame, frameOf(ethernet_test::record(60, 0, 0)));
    EXPECT_EQ(headers, 2);  // the second where the restart came
    const uint8_t* global = EthernetPlimDecoder_pcap::globalHeader();
    auto second = std::search(stream.begin() + 24, stream.end(), global, global + 24) - stream.begin();
    EXPECT_TRUE(second >= 24 && size_t(second) <= restarted && (second - 24) % record == 0) << second;
    std::vector<std::string> commands;
    for (const std::string& l : recorded("out dev=dev0 ep=0x02 ")) commands.push_back(l.substr(l.rfind("data=") + 5));
    EXPECT_EQ(commands, (std::vector<std::string>{"aa", "55", "aa", "aa", "55"}));
}
