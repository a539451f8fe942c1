// Simulated transfers: where callbacks run, what endpoints deliver, cancellation,
// timeouts, injected faults and the record.
#include <filesystem>
#include <fstream>
#include <thread>

#include "SimFixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Consecutive synchronous reads of `length` bytes until one times out (50 ms of
// simulated time) or fails; each read as {libusb result, bytes}.
std::vector<std::pair<int, Bytes>> readAll(libusb_device_handle* h, uint8_t ep, int length, int limit = 20) {
    std::vector<std::pair<int, Bytes>> out;
    for (int i = 0; i < limit; ++i) {
        Bytes buffer(static_cast<size_t>(length));
        int got = 0;
        int r = libusb_bulk_transfer(h, ep, buffer.data(), length, &got, 50);
        buffer.resize(static_cast<size_t>(got));
        out.emplace_back(r, buffer);
        if (r != 0) break;
    }
    return out;
}

Bytes counter(size_t from, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
    return b;
}

}  // namespace

class SimTransfer : public SimTest {};

TEST_F(SimTransfer, CallbacksRunOnlyInsideHandleEventsOnTheCallingThread) {
    load("device 1:2\nendpoint 0x81\nbytes 01 02\n");
    libusb_device_handle* h = open(1, 2);
    std::thread::id where;
    struct Probe {
        std::thread::id* where;
        bool done = false;
    } probe{&where};
    libusb_transfer* t = libusb_alloc_transfer(0);
    uint8_t buffer[8];
    libusb_fill_bulk_transfer(
        t, h, 0x81, buffer, sizeof buffer,
        [](libusb_transfer* tr) {
            auto* p = static_cast<Probe*>(tr->user_data);
            *p->where = std::this_thread::get_id();
            p->done = true;
        },
        &probe, 0);
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    // The data is there, but other calls do not deliver it.
    uint8_t byte = 0;
    EXPECT_EQ(libusb_control_transfer(h, 0x40, 1, 0, 0, &byte, 1, 0), 1);
    EXPECT_FALSE(probe.done);
    std::thread([&] {
        timeval tv{0, 100'000};
        libusb_handle_events_timeout(nullptr, &tv);
    }).join();
    ASSERT_TRUE(probe.done);
    EXPECT_NE(where, std::this_thread::get_id());
    EXPECT_EQ(t->actual_length, 2);
    libusb_free_transfer(t);
    libusb_close(h);
}

TEST_F(SimTransfer, EndpointsDeliverWhatTheScenarioSays) {
    struct Case {
        const char* source;
        int length;
        std::vector<std::pair<int, Bytes>> reads;
    } cases[] = {
        {"bytes 0102 03 0x04\nbytes 05", 2, {{0, {1, 2}}, {0, {3, 4}}, {0, {5}}, {LIBUSB_ERROR_TIMEOUT, {}}}},
        {"text \"hi\"", 8, {{0, {'h', 'i'}}, {LIBUSB_ERROR_TIMEOUT, {}}}},
        {"pattern counter 300", 256, {{0, counter(0, 256)}, {0, counter(256, 44)}, {LIBUSB_ERROR_TIMEOUT, {}}}},
        {"pattern fill 0x55 3\nthen zlp", 8, {{0, {0x55, 0x55, 0x55}}, {0, {}}, {0, {}}}},
        {"bytes 0102030405\nchunk 3", 8, {{0, {1, 2, 3}}, {0, {4, 5}}, {LIBUSB_ERROR_TIMEOUT, {}}}},
        {"bytes 0102\nthen stall", 8, {{0, {1, 2}}, {LIBUSB_ERROR_PIPE, {}}}},
        {"bytes 0102\nthen repeat", 3, {{0, {1, 2, 1}}, {0, {2, 1, 2}}}},
        {"pattern counter 0\nthen repeat", 3, {{LIBUSB_ERROR_TIMEOUT, {}}}},
    };
    for (const Case& c : cases) {
        load(std::string("speed 100\ndevice 1:2\nendpoint 0x81\n") + c.source + "\n");
        libusb_device_handle* h = open(1, 2);
        auto reads = readAll(h, 0x81, c.length, static_cast<int>(c.reads.size()));
        EXPECT_EQ(reads, c.reads) << c.source;
        libusb_close(h);
        exitContext();
    }
}

TEST_F(SimTransfer, RateHoldsDataBackInSimulatedTime) {
    load("speed 100\ndevice 1:2\nendpoint 0x81\npattern counter *\nrate 1000\n");
    libusb_device_handle* h = open(1, 2);
    Bytes buffer(100);
    int got = 0;
    qwsim::SimTime before = qwsim::now();
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buffer.data(), 100, &got, 0), 0);
    EXPECT_GE(qwsim::now() - before, 100'000);  // 100 bytes at 1000 bytes a second
    EXPECT_EQ(buffer, counter(0, 100));
    libusb_close(h);
}

TEST_F(SimTransfer, CancelledAndTimedOutTransfersCompleteWithWhatTheyGot) {
    load("device 1:2\nendpoint 0x81\npattern counter *\nrate 1000\n");  // a byte a millisecond
    libusb_device_handle* h = open(1, 2);
    Read head(h, 0x81, 1000, 30), queued(h, 0x81, 1000, 10), cancelled(h, 0x81, 1000);
    for (Read* r : {&head, &queued, &cancelled}) ASSERT_EQ(r->submit(), 0);
    EXPECT_EQ(libusb_cancel_transfer(cancelled.transfer), 0);
    EXPECT_EQ(libusb_cancel_transfer(cancelled.transfer), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_TRUE(waitDone({&head, &queued, &cancelled}));
    EXPECT_EQ(cancelled.status, LIBUSB_TRANSFER_CANCELLED);
    EXPECT_EQ(cancelled.actual, 0);
    EXPECT_EQ(queued.status, LIBUSB_TRANSFER_TIMED_OUT);  // expired behind the head
    EXPECT_EQ(queued.actual, 0);
    EXPECT_EQ(head.status, LIBUSB_TRANSFER_TIMED_OUT);
    ASSERT_GT(head.actual, 0);
    ASSERT_LT(head.actual, 1000);
    EXPECT_EQ(head.bytes(), counter(0, static_cast<size_t>(head.actual)));

    // A cancelled head keeps what it got, and the stream goes on after it.
    Read next(h, 0x81, 1000);
    ASSERT_EQ(next.submit(), 0);
    timeval tv{0, 30'000};
    libusb_handle_events_timeout(nullptr, &tv);
    EXPECT_EQ(libusb_cancel_transfer(next.transfer), 0);
    ASSERT_TRUE(waitDone({&next}));
    EXPECT_EQ(next.status, LIBUSB_TRANSFER_CANCELLED);
    ASSERT_GT(next.actual, 0);
    EXPECT_EQ(next.bytes(), counter(static_cast<size_t>(head.actual), static_cast<size_t>(next.actual)));
    EXPECT_EQ(libusb_cancel_transfer(next.transfer), LIBUSB_ERROR_NOT_FOUND);
    libusb_close(h);
}

TEST_F(SimTransfer, InjectedStatusesSubmitFailuresAndAllocationFailures) {
    load("fail alloc 3\ndevice 1:2\nendpoint 0x81\npattern counter *\nchunk 2\nstatus 2 stall\nfail submit 3 io\n");
    libusb_device_handle* h = open(1, 2);
    Read one(h, 0x81, 8), two(h, 0x81, 8);
    EXPECT_EQ(libusb_alloc_transfer(0), nullptr);
    ASSERT_EQ(one.submit(), 0);
    ASSERT_EQ(two.submit(), 0);
    ASSERT_TRUE(waitDone({&one, &two}));
    EXPECT_EQ(one.status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(one.bytes(), (Bytes{0, 1}));
    EXPECT_EQ(two.status, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(one.submit(), LIBUSB_ERROR_IO);
    ASSERT_EQ(one.submit(), 0);
    ASSERT_TRUE(waitDone({&one}));
    EXPECT_EQ(one.status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(recorded("fault"), (std::vector<std::string>{"fault alloc=3", "fault dev=dev0 ep=0x81 submit=3 error=-1"}));
    libusb_close(h);
}

TEST_F(SimTransfer, OrderHoldsCallbacksBackButKeepsTheData) {
    load("device 1:2\nendpoint 0x81\npattern counter *\nchunk 1\norder 3 1 2\n");
    libusb_device_handle* h = open(1, 2);
    Read reads[3] = {{h, 0x81, 4}, {h, 0x81, 4}, {h, 0x81, 4}};
    for (Read& r : reads) ASSERT_EQ(r.submit(), 0);
    ASSERT_TRUE(waitDone({&reads[0], &reads[1], &reads[2]}));
    EXPECT_GT(reads[0].sequence, reads[2].sequence);
    EXPECT_GT(reads[1].sequence, reads[0].sequence);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(reads[i].bytes(), Bytes{static_cast<uint8_t>(i)});
    libusb_close(h);
}

TEST_F(SimTransfer, DisconnectEndsEverythingOnTheDevice) {
    struct Case {
        const char* rule;
        Bytes delivered;
    } cases[] = {{"disconnect after 2 transfers", {0, 1, 2, 3}}, {"disconnect after 3 bytes", {0, 1, 2}}};
    for (const Case& c : cases) {
        load(std::string("device 1:2\nendpoint 0x81\npattern counter *\nchunk 2\n") + c.rule + "\n");
        libusb_device_handle* h = open(1, 2);
        Read a(h, 0x81, 8), b(h, 0x81, 8), pending(h, 0x81, 8);
        for (Read* r : {&a, &b, &pending}) ASSERT_EQ(r->submit(), 0);
        ASSERT_TRUE(waitDone({&a, &b, &pending}));
        Bytes got = a.bytes();
        for (uint8_t x : b.bytes()) got.push_back(x);
        EXPECT_EQ(got, c.delivered) << c.rule;
        EXPECT_EQ(pending.status, LIBUSB_TRANSFER_NO_DEVICE) << c.rule;
        EXPECT_EQ(a.submit(), LIBUSB_ERROR_NO_DEVICE);
        uint8_t byte = 0;
        EXPECT_EQ(libusb_control_transfer(h, 0x40, 1, 0, 0, &byte, 1, 0), LIBUSB_ERROR_NO_DEVICE);
        libusb_device** list = nullptr;
        EXPECT_EQ(libusb_get_device_list(nullptr, &list), 0);
        libusb_free_device_list(list, 1);
        libusb_close(h);
        exitContext();
    }
}

TEST_F(SimTransfer, RecordsControlRequestsAndOutTransfers) {
    namespace fs = std::filesystem;
    fs::path file = fs::temp_directory_path() / "qwsim-record-test.txt";
    load("record \"" + file.generic_string() + "\"\ndevice 1:2 name=box\nendpoint 0x02\ncontrol 0xc0 5 value=1 reply 0a0b0c\n" +
         "fail control 0x40 7 pipe nth=2\n");
    libusb_device_handle* h = open(1, 2);
    uint8_t out[] = {0x80, 0x25};
    uint8_t in[4] = {};
    EXPECT_EQ(libusb_control_transfer(h, 0x40, 7, 0x1234, 2, out, 2, 0), 2);
    EXPECT_EQ(libusb_control_transfer(h, 0x40, 7, 0, 0, out, 2, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(h, 0xc0, 5, 1, 0, in, 4, 0), 3);
    EXPECT_EQ(libusb_control_transfer(h, 0xc0, 5, 2, 0, in, 4, 0), LIBUSB_ERROR_PIPE);
    int sent = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, out, 2, &sent, 0), 0);
    EXPECT_EQ(sent, 2);
    libusb_close(h);
    std::vector<std::string> expected = {
        "control dev=box type=0x40 req=0x07 value=0x1234 index=0x0002 len=2 timeout=0 result=2 data=8025",
        "control dev=box type=0x40 req=0x07 value=0x0000 index=0x0000 len=2 timeout=100 result=-9 data=8025",
        "control dev=box type=0xc0 req=0x05 value=0x0001 index=0x0000 len=4 timeout=0 result=3 data=0a0b0c",
        "control dev=box type=0xc0 req=0x05 value=0x0002 index=0x0000 len=4 timeout=0 result=-9 data=",
        "out dev=box ep=0x02 len=2 timeout=0 result=2 data=8025",
    };
    std::vector<std::string> got = recorded("control");
    for (const std::string& l : recorded("out")) got.push_back(l);
    EXPECT_EQ(got, expected);
    exitContext();
    std::vector<std::string> fileLines;
    {
        std::ifstream in2(file);
        for (std::string l; std::getline(in2, l);)
            if (l.rfind("control", 0) == 0 || l.rfind("out", 0) == 0) fileLines.push_back(l);
    }
    EXPECT_EQ(fileLines, expected);
    EXPECT_EQ(recorded("init"), std::vector<std::string>{"init"});
    EXPECT_EQ(recorded("exit"), std::vector<std::string>{"exit refs=0 busy=0 handles=0 transfers=0"});
    fs::remove(file);
}
