// The simulator's own behaviour, which every USB test builds on: enumeration,
// scenarios, where callbacks run, what endpoints deliver, cancellation, timeouts,
// disconnects, misuse and the record. The other faults are injected and checked
// by the USB layer's tests.
#include <algorithm>
#include <chrono>
#include <thread>

#include "support/MemoryTransport.h"
#include "support/SimTest.h"

namespace {

libusb_device_handle* open12() {
    libusb_device_handle* h = libusb_open_device_with_vid_pid(nullptr, 1, 2);
    EXPECT_NE(h, nullptr);
    return h;
}

// One asynchronous read from endpoint 0x81, and what its callback saw.
struct Read {
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    Bytes buffer;
    bool done = false;
    int status = -1, actual = -1;
    std::thread::id thread;

    Read(libusb_device_handle* h, int length, unsigned timeoutMs = 0) : buffer(static_cast<size_t>(length)) {
        libusb_fill_bulk_transfer(transfer, h, 0x81, buffer.data(), length, &Read::callback, this, timeoutMs);
    }
    Read(const Read&) = delete;
    ~Read() { libusb_free_transfer(transfer); }
    int submit() { return done = false, libusb_submit_transfer(transfer); }
    Bytes bytes() const { return {buffer.begin(), buffer.begin() + std::max(actual, 0)}; }

    static void LIBUSB_CALL callback(libusb_transfer* t) {
        auto* r = static_cast<Read*>(t->user_data);
        r->done = true;
        r->status = t->status;
        r->actual = t->actual_length;
        r->thread = std::this_thread::get_id();
    }
};

// Handles events until every read is done; false after 200 passes of 50 ms.
bool waitDone(std::initializer_list<const Read*> reads) {
    for (int i = 0; i < 200; ++i) {
        if (std::all_of(reads.begin(), reads.end(), [](const Read* r) { return r->done; })) return true;
        timeval tv{0, 50'000};
        libusb_handle_events_timeout(nullptr, &tv);
    }
    return false;
}

}  // namespace

class Sim : public SimTest {};

TEST_F(Sim, ListsDevicesInScenarioOrderWithTheirDescriptors) {
    load("device 16d0:0f3b serial=A\ndevice 1234:0001\n  descriptor unreadable access\ndevice 16d0:0f3c\n");
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 3);
    // {descriptor result, PID, serial number string index} of each.
    const std::tuple<int, int, int> expected[] = {{0, 0x0f3b, 3}, {LIBUSB_ERROR_ACCESS, 0, 0}, {0, 0x0f3c, 0}};
    for (int i = 0; i < 3; ++i) {
        libusb_device_descriptor d{};
        auto [result, pid, serialIndex] = expected[i];
        ASSERT_EQ(libusb_get_device_descriptor(list[i], &d), result) << i;
        if (result == 0) {
            EXPECT_EQ(std::make_tuple(d.idVendor, d.idProduct, d.iSerialNumber, libusb_get_device_address(list[i])),
                      std::make_tuple(0x16d0, pid, serialIndex, i + 1));
        }
    }
    EXPECT_EQ(qwsim::counters().deviceRefs, 3);
    libusb_free_device_list(list, 1);
}

TEST(SimScenario, ReportsEachProblemWithItsLine) {
    const std::pair<const char*, const char*> cases[] = {  // scenario, error
        {"endpoint 0x81", "line 1: 'endpoint' outside a device"},
        {"\n\ndevice 12345:1", "line 3: expected 'device VID:PID' in hex, e.g. 'device 16d0:0f3b'"},
        {"device 1:2 # note\nfrobnicate 3", "line 2: unknown statement 'frobnicate'"},
        {"device 1:2\nendpoint 0x81\norder 1 1", "line 3: 'order' needs each of 1..N once"},
        {"device 1:2\nfail control 0x40 1 -0", "line 2: expected 'fail control TYPE REQUEST ERROR [nth=N]'"},
        {"speed 0", "line 1: expected 'speed FACTOR' with a factor above 0"},
        {"device 1:2\nendpoint 0x02\nhold 0", "line 3: expected 'hold N' with N from 1"},
    };
    for (auto [text, expected] : cases) {
        std::string error;
        EXPECT_FALSE(qwsim::loadScenario(text, &error)) << text;
        EXPECT_EQ(error, expected) << text;
    }
    // A scenario file's problems carry its path: see tests/e2e/test_usb_startup.py.
}

TEST_F(Sim, EndpointsDeliverWhatTheScenarioSays) {
    // {endpoint, length, consecutive synchronous reads of `length` bytes: {libusb result, bytes}}
    const std::tuple<const char*, int, std::vector<std::pair<int, Bytes>>> cases[] = {
        {"bytes 0102 03 0x04\nbytes 05", 2, {{0, {1, 2}}, {0, {3, 4}}, {0, {5}}, {LIBUSB_ERROR_TIMEOUT, {}}}},
        {"text \"#\\\"\" # comment", 8, {{0, {'#', '"'}}, {LIBUSB_ERROR_TIMEOUT, {}}}},
        {"bytes 0102\nthen repeat", 3, {{0, {1, 2, 1}}, {0, {2, 1, 2}}}},
        {"pattern counter 0\nthen repeat", 3, {{LIBUSB_ERROR_TIMEOUT, {}}}},
        {"bytes 0102\nhold 1", 2, {{LIBUSB_ERROR_TIMEOUT, {}}, {0, {1, 2}}}},  // never served: nothing moves
    };
    for (const auto& [source, length, expected] : cases) {
        load(std::string("speed 100\ndevice 1:2\nendpoint 0x81\n") + source + "\n");
        libusb_device_handle* h = open12();
        std::vector<std::pair<int, Bytes>> reads;
        for (size_t i = 0; i < expected.size(); ++i) {
            Bytes buffer(static_cast<size_t>(length));
            int got = 0;
            int r = libusb_bulk_transfer(h, 0x81, buffer.data(), length, &got, 50);
            buffer.resize(static_cast<size_t>(got));
            reads.emplace_back(r, buffer);
        }
        EXPECT_EQ(reads, expected) << source;
        libusb_close(h);
    }
}

TEST_F(Sim, TransfersCompleteInsideHandleEventsAndKeepWhatTheyGotOnTimeoutOrCancel) {
    load("device 1:2\nendpoint 0x81\npattern counter *\nrate 1000\n");  // a byte a millisecond
    libusb_device_handle* h = open12();
    Read head(h, 1000, 30), queued(h, 1000, 10), last(h, 1000);
    for (Read* r : {&head, &queued, &last}) ASSERT_EQ(r->submit(), 0);
    // Other calls do not complete them; handling events does, on the thread that handles them.
    uint8_t byte = 0;
    EXPECT_EQ(libusb_control_transfer(h, 0x40, 1, 0, 0, &byte, 1, 100), 1);
    EXPECT_FALSE(head.done || queued.done);
    // Events handled only after the head's timeout, as on a loaded machine: the
    // stream ran from the submission all the same.
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    std::thread([&] { EXPECT_TRUE(waitDone({&head, &queued})); }).join();
    EXPECT_NE(head.thread, std::this_thread::get_id());
    EXPECT_EQ(queued.status, LIBUSB_TRANSFER_TIMED_OUT);  // expired behind the head
    EXPECT_EQ(queued.actual, 0);
    EXPECT_EQ(head.status, LIBUSB_TRANSFER_TIMED_OUT);
    ASSERT_GT(head.actual, 0);
    ASSERT_LT(head.actual, 1000);  // the rate held the rest back
    EXPECT_EQ(head.bytes(), counting(static_cast<size_t>(head.actual)));
    // The last read is the head now: cancelled, it keeps what it got, and the stream goes on in it.
    timeval tv{0, 30'000};
    libusb_handle_events_timeout(nullptr, &tv);
    EXPECT_EQ(libusb_cancel_transfer(last.transfer), 0);
    EXPECT_EQ(libusb_cancel_transfer(last.transfer), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_TRUE(waitDone({&last}));
    EXPECT_EQ(last.status, LIBUSB_TRANSFER_CANCELLED);
    ASSERT_GT(last.actual, 0);
    EXPECT_EQ(last.bytes(), counting(static_cast<size_t>(last.actual), static_cast<uint8_t>(head.actual)));
    libusb_close(h);
}

TEST_F(Sim, DisconnectEndsEverythingOnTheDevice) {
    load("device 1:2\nendpoint 0x81\npattern counter *\nchunk 2\ndisconnect after 3 bytes\n");
    libusb_device_handle* h = open12();
    Read a(h, 8), b(h, 8), pending(h, 8);
    for (Read* r : {&a, &b, &pending}) ASSERT_EQ(r->submit(), 0);
    ASSERT_TRUE(waitDone({&a, &b, &pending}));
    EXPECT_EQ(a.bytes(), (Bytes{0, 1}));
    EXPECT_EQ(b.bytes(), (Bytes{2}));
    EXPECT_EQ(pending.status, LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_EQ(a.submit(), LIBUSB_ERROR_NO_DEVICE);
    uint8_t byte = 0;
    EXPECT_EQ(libusb_control_transfer(h, 0x40, 1, 0, 0, &byte, 1, 0), LIBUSB_ERROR_NO_DEVICE);
    libusb_device** list = nullptr;
    EXPECT_EQ(libusb_get_device_list(nullptr, &list), 0);
    libusb_free_device_list(list, 1);
    libusb_close(h);
}

TEST_F(Sim, RecordsRequestsOutTransfersAndFaults) {
    load("fail alloc 1\ndevice 1:2 name=box\nendpoint 0x02\ncontrol 0xc0 5 value=1 reply 0a0b0c\n"
         "hold 2\nfail control 0x40 7 pipe nth=2\n");
    EXPECT_EQ(libusb_alloc_transfer(0), nullptr);
    libusb_device_handle* h = open12();
    uint8_t out[] = {0x80, 0x25};
    uint8_t in[4] = {};
    EXPECT_EQ(libusb_control_transfer(h, 0x40, 7, 0x1234, 2, out, 2, 0), 2);
    EXPECT_EQ(libusb_control_transfer(h, 0x40, 7, 0, 0, out, 2, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(h, 0xc0, 5, 1, 0, in, 4, 0), 3);
    int sent = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, out, 2, &sent, 0), 0);
    // A transfer the device never takes ends with its timeout, having sent nothing.
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, out, 2, &sent, 20), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, out, 1, &sent, 20), 0);
    libusb_close(h);
    exitContext();
    EXPECT_EQ(qwsim::recordedLines(),
              (std::vector<std::string>{
                  "init",
                  "fault alloc=1",
                  "control dev=box type=0x40 req=0x07 value=0x1234 index=0x0002 len=2 timeout=0 result=2 data=8025",
                  "control dev=box type=0x40 req=0x07 value=0x0000 index=0x0000 len=2 timeout=100 result=-9 data=8025",
                  "control dev=box type=0xc0 req=0x05 value=0x0001 index=0x0000 len=4 timeout=0 result=3 data=0a0b0c",
                  "out dev=box ep=0x02 len=2 timeout=0 result=2 data=8025",
                  "out dev=box ep=0x02 len=2 timeout=20 result=-7 data=",
                  "out dev=box ep=0x02 len=1 timeout=20 result=1 data=80",
                  "exit refs=0 busy=0 handles=0 transfers=0",
              }));
}

TEST_F(Sim, RecordsWhatLibusbForbids) {
    load("device 1:2\nendpoint 0x81\n");
    libusb_device_handle* h = open12();
    Read read(h, 4);
    ASSERT_EQ(read.submit(), 0);
    libusb_free_transfer(read.transfer);  // still in flight: kept and reported
    libusb_close(h);                      // the same
    libusb_cancel_transfer(read.transfer);
    ASSERT_TRUE(waitDone({&read}));
    libusb_close(h);
    EXPECT_EQ(recorded("misuse"), (std::vector<std::string>{"misuse libusb_free_transfer of a transfer in flight",
                                                            "misuse libusb_close of dev0 with transfers in flight"}));
    expectedMisuses = 2;
}
