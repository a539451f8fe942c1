// The pcap output as other tools see it: every file of a split series read back
// with libpcap (the same reader path as a single file).
#include <pcap/pcap.h>

#include <ctime>

#include "EthernetRecords.h"
#include "support/TempDir.h"
#include "transport/FileTransport.h"

using namespace ethernet_test;

TEST(EthernetPcapFiles, LibpcapReadsEveryFrameWholeFromEachFile) {
    std::vector<Bytes> reads, frames;  // a record per read: the output leaves read by read
    for (uint32_t length : {60u, 1514u, 9000u, 0xFFFFu, 1u, 4000u, 64u}) {
        reads.push_back(record(length, 0, uint8_t(length)));
        frames.push_back(frameOf(reads.back()));
    }
    TempDir dir;
    time_t from = std::time(nullptr);
    {
        FileTransport file;
        ASSERT_TRUE(file.openSplitOutput(dir.path("cap.pcap"), 5000, kNoSplit));
        EthernetPlimDecoder_pcap decoder;
        ASSERT_TRUE(decoder.beginOutput(file));
        for (const Bytes& r : reads) decoder.decode(r.data(), r.size(), file);
    }
    std::vector<Bytes> got;
    for (const char* name : {"cap-00.pcap", "cap-01.pcap", "cap-02.pcap"}) {  // split after 9000 and 65535 bytes
        char error[PCAP_ERRBUF_SIZE] = "";
        pcap_t* p = pcap_open_offline(dir.path(name).c_str(), error);
        ASSERT_NE(p, nullptr) << name << ": " << error;
        EXPECT_EQ(std::make_pair(pcap_datalink(p), pcap_snapshot(p)), std::make_pair(DLT_EN10MB, 0xFFFF));
        pcap_pkthdr* h = nullptr;
        const u_char* data = nullptr;
        size_t before = got.size();
        int r;
        while ((r = pcap_next_ex(p, &h, &data)) == 1) {
            EXPECT_EQ(h->caplen, h->len);
            EXPECT_TRUE(h->ts.tv_sec >= from && h->ts.tv_sec <= std::time(nullptr) && h->ts.tv_usec < 1000000);
            got.emplace_back(data, data + h->caplen);
        }
        EXPECT_EQ(r, PCAP_ERROR_BREAK) << name << ": " << pcap_geterr(p);  // the end, not a broken record
        EXPECT_GT(got.size(), before) << name;
        pcap_close(p);
    }
    EXPECT_EQ(got, frames);
    EXPECT_FALSE(std::filesystem::exists(dir.path("cap-03.pcap")));
}
