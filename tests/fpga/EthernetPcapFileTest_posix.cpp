// The pcap output as other tools see it: files read back with libpcap, one file
// and every file of a split series.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <ctime>

#include "EthernetRecords.h"
#include "support/TempDir.h"
#include "transport/FileTransport.h"

using namespace ethernet_test;

namespace {

// The frames of one file, each checked whole and stamped between `from` and `to`.
std::vector<Bytes> readBack(const std::string& path, time_t from, time_t to) {
    char error[PCAP_ERRBUF_SIZE] = "";
    pcap_t* p = pcap_open_offline(path.c_str(), error);
    std::vector<Bytes> frames;
    EXPECT_NE(p, nullptr) << path << ": " << error;
    if (!p) return frames;
    EXPECT_EQ(pcap_datalink(p), DLT_EN10MB);
    EXPECT_EQ(pcap_snapshot(p), 0xFFFF);
    pcap_pkthdr* h = nullptr;
    const u_char* data = nullptr;
    int r;
    while ((r = pcap_next_ex(p, &h, &data)) == 1) {
        EXPECT_EQ(h->caplen, h->len);
        EXPECT_TRUE(h->ts.tv_sec >= from && h->ts.tv_sec <= to && h->ts.tv_usec < 1000000) << h->ts.tv_sec;
        frames.emplace_back(data, data + h->caplen);
    }
    EXPECT_EQ(r, PCAP_ERROR_BREAK) << path << ": " << pcap_geterr(p);  // the end, not a broken record
    pcap_close(p);
    return frames;
}

}  // namespace

TEST(EthernetPcapFiles, LibpcapReadsEveryFrameWholeFromEachFile) {
    Bytes stream;
    std::vector<Bytes> frames;
    for (uint32_t length : {60u, 1514u, 9000u, 0xFFFFu, 1u, 4000u, 64u}) {
        Bytes r = record(length, 0, uint8_t(length));
        stream.insert(stream.end(), r.begin(), r.end());
        frames.push_back(frameOf(r));
    }
    // The second series splits after the 9000- and the 65535-byte frames.
    const std::pair<uint64_t, std::vector<std::string>> cases[] = {
        {kNoSplit, {"cap.pcap"}}, {5000, {"cap-00.pcap", "cap-01.pcap", "cap-02.pcap"}}};
    for (const auto& [splitSize, names] : cases) {
        TempDir dir;
        time_t from = std::time(nullptr);
        {
            FileTransport file;
            ASSERT_TRUE(file.openSplitOutput(dir.path("cap.pcap"), splitSize, kNoSplit));
            EthernetPlimDecoder_pcap decoder;
            ASSERT_TRUE(decoder.beginOutput(file));
            for (size_t at = 0; at < stream.size(); at += 8192)
                decoder.decode(stream.data() + at, std::min<size_t>(8192, stream.size() - at), file);
        }
        std::vector<Bytes> all;
        for (const std::string& name : names) {
            std::vector<Bytes> part = readBack(dir.path(name), from, std::time(nullptr));
            EXPECT_FALSE(part.empty()) << name;
            all.insert(all.end(), part.begin(), part.end());
        }
        EXPECT_EQ(all, frames);
        EXPECT_FALSE(std::filesystem::exists(dir.path(splitSize == kNoSplit ? "cap-00.pcap" : "cap-03.pcap")));
    }
}
