#pragma once
// The simulator's state: the bus, the transfers in flight, simulated time and the
// record. One process-wide instance behind one mutex; the libusb entry points take
// the mutex, and completion callbacks run with it released.

#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "qwsim/DeviceModel.h"
#include "qwsim/Simulator.h"

namespace qwsim {
struct SimDevice;
}

// The opaque libusb objects.
struct libusb_context {
    bool isDefault = false;
};

struct libusb_device {
    qwsim::SimDevice* sim = nullptr;
};

struct libusb_device_handle {
    libusb_device* dev = nullptr;
    uint32_t claimed = 0;  // bit per interface
    int inFlight = 0;      // asynchronous transfers not yet called back
};

namespace qwsim {

struct EndpointState;

// One transfer between submission and completion: an asynchronous libusb transfer
// or a synchronous call waiting on its own.
struct Op {
    enum class State { Idle, Queued, Held, Done };

    Op* next = nullptr;  // links of whichever queue holds the op
    Op* prev = nullptr;
    State state = State::Idle;
    SimDevice* device = nullptr;
    EndpointState* endpoint = nullptr;
    libusb_transfer* transfer = nullptr;  // null for a synchronous call
    uint8_t* buffer = nullptr;
    int length = 0;
    int actual = 0;
    int status = LIBUSB_TRANSFER_COMPLETED;
    int forcedStatus = -1;  // an injected completion status
    bool held = false;      // the device never serves it: it ends only by timeout or cancel
    SimTime deadline = kNever;
    uint64_t serial = 0;  // 1-based per endpoint, in submission order
    unsigned timeoutMs = 0;
    bool cancelRequested = false;
};

class OpQueue {
public:
    Op* head() const { return head_; }
    bool empty() const { return head_ == nullptr; }
    void push(Op* op);
    void remove(Op* op);
    // Empties the queue; the ops stay chained through `next`.
    Op* takeAll();

private:
    Op* head_ = nullptr;
    Op* tail_ = nullptr;
};

struct EndpointState {
    EndpointInfo info;
    OpQueue queue;
    uint64_t attempts = 0;  // submissions tried
    uint64_t accepted = 0;  // submissions taken
    std::vector<std::pair<uint64_t, int>> statusFaults;  // transfer number, status
    std::vector<std::pair<uint64_t, int>> submitFaults;  // attempt number, libusb error
    std::vector<uint64_t> heldTransfers;                 // transfer numbers the device never serves
    // Completion order inside each window of order.size() transfers (1-based
    // positions); empty: in submission order.
    std::vector<int> order;
    std::vector<Op*> held;        // finished ops of the current window, by position
    std::set<uint64_t> released;  // numbers that left their window early
    uint64_t windowBase = 1;

    bool isIn() const { return (info.address & LIBUSB_ENDPOINT_IN) != 0; }
};

struct ControlFault {
    uint8_t requestType = 0;
    uint8_t request = 0;
    int error = LIBUSB_ERROR_PIPE;
    uint64_t nth = 0;  // 0: every matching request
    uint64_t seen = 0;
};

struct SimDevice {
    std::string name;
    uint16_t vid = 0;
    uint16_t pid = 0;
    std::string serial;
    std::unique_ptr<DeviceModel> model;
    std::vector<std::unique_ptr<EndpointState>> endpoints;
    int descriptorError = 0;  // libusb_get_device_descriptor fails with this
    int openError = 0;
    int claimError = 0;
    std::vector<ControlFault> controlFaults;
    uint64_t disconnectAfterTransfers = 0;  // 0: never
    uint64_t disconnectAfterBytes = 0;

    bool disconnected = false;
    uint64_t transfersDone = 0;
    uint64_t bytesIn = 0;
    long refs = 0;
    int handles = 0;
    uint32_t claimed = 0;  // bit per interface
    libusb_device usbDevice{this};

    EndpointState* endpoint(uint8_t address);
};

struct Settings {
    double speed = 1.0;
    bool traceEvents = false;
    uint64_t failAllocNth = 0;
    int listError = 0;
    int initError = 0;    // libusb_init fails with it
    bool strict = false;  // a misuse aborts the process (also QWSIM_STRICT=1)
    std::string recordPath;
};

class Engine {
public:
    static Engine& get();

    // Time, lock held or not.
    SimTime now() const;
    // Waits on the condition variable until simulated time `when` or a wake.
    void waitUntil(std::unique_lock<std::mutex>& hold, SimTime when);

    // With the lock held from here on.
    bool ensureLoaded();  // the environment's scenario on first use
    bool replace(std::vector<std::unique_ptr<SimDevice>> devices, const Settings& settings, bool memory,
                 std::string* error);
    bool contextOk(libusb_context* ctx, const char* function);
    void record(const std::string& line);
    // Closes the record file while nothing uses the bus (so others may read or
    // remove it); the next line reopens it for appending.
    void pauseRecord();
    void misuse(const std::string& what);

    // Moves every transfer that can finish now to its completion; remembers in
    // nextWake when something may change next.
    void pump(SimTime now);
    void finish(Op* op, int status, bool inOrder);
    void disconnect(SimDevice& device);
    // A cancel that reaches a transfer held back by an `order` window: it leaves now.
    void releaseHeld(Op* op);
    // A control request through the device's faults and model, recorded.
    int runControl(SimDevice& d, const ControlSetup& setup, uint8_t* data, unsigned timeoutMs);
    // Completed asynchronous transfers waiting for libusb_handle_events*.
    Op* takeDone();

    std::mutex mutex;
    std::condition_variable cv;
    Settings settings;
    std::vector<std::unique_ptr<SimDevice>> devices;
    bool loaded = false;
    int defaultRefs = 0;
    int busy = 0;  // threads inside libusb_handle_events*
    bool interrupted = false;  // libusb_interrupt_event_handler: the next or current pass returns
    size_t liveTransfers = 0;
    size_t allocations = 0;
    size_t allocAttempts = 0;
    size_t misuses = 0;
    size_t eventPasses = 0;
    SimTime nextWake = kNever;

private:
    Engine();
    void serviceEndpoint(SimDevice& d, EndpointState& ep, SimTime now);
    void take(SimDevice& d, EndpointState& ep, Op* op, SimTime now, InData* out);
    void giveOut(SimDevice& d, EndpointState& ep, Op* op, SimTime now);
    void hold(EndpointState& ep, Op* op);
    void releaseWindows(EndpointState& ep, bool all);
    void deliver(Op* op);

    std::chrono::steady_clock::time_point epoch_;
    FILE* recordFile_ = nullptr;
    bool memory_ = false;
    OpQueue done_;

public:
    std::vector<std::string> lines;  // the record kept in memory for recordedLines()
    std::set<libusb_context*> contexts;  // from libusb_init with an out-pointer
};

// Text helpers shared by the entry points.
std::string hexBytes(const uint8_t* data, size_t n);
std::string hex8(unsigned v);
std::string hex16(unsigned v);

}  // namespace qwsim

