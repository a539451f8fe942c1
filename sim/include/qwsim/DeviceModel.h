#pragma once
// What a simulated device does: the interface every device model implements.
//
// The simulator core owns time, transfers, faults and recording; a model only
// answers control requests, produces the bytes of its IN endpoints and takes the
// bytes of its OUT endpoints. Every call comes from the core with the simulator's
// lock held, so a model needs no lock of its own and must not call libusb.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qwsim {

// Microseconds of simulated time since the scenario was loaded.
using SimTime = int64_t;
constexpr SimTime kNever = INT64_MAX;

// Transfer types, numbered as libusb numbers them.
enum EndpointType : uint8_t { kControl = 0, kBulk = 2, kInterrupt = 3 };

struct EndpointInfo {
    uint8_t address = 0;  // bit 7 set: IN
    uint8_t type = kBulk;
    uint16_t maxPacketSize = 512;
};

// The request types of vendor requests to the device, host to device and back.
constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;

struct ControlSetup {
    uint8_t requestType = 0;  // bit 7 set: device to host
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};

// What an IN endpoint delivered into the transfer at the head of its queue.
struct InData {
    size_t bytes = 0;          // copied into the buffer
    bool packetEnd = false;    // a short (or zero-length) packet ends the transfer now
    bool stall = false;        // the endpoint stalls; the transfer ends with the stall status
    SimTime retryAt = kNever;  // nothing more now: when to ask again (kNever: only after a wake)
};

// One scenario line split into words; quoted words arrive without their quotes.
struct Statement {
    std::vector<std::string> words;
    int line = 0;
    std::string baseDir;  // relative file names in the scenario are taken from here
};

class DeviceModel {
public:
    virtual ~DeviceModel() = default;

    // A scenario statement of this device the core does not know. `endpoint` is the
    // endpoint the statement follows (-1 before any). Empty when taken, else the
    // complaint, which the parser reports with the line number.
    virtual std::string configure(const Statement& st, int endpoint);
    // An `endpoint` line naming an endpoint the model does not have yet: add it or
    // refuse with a complaint.
    virtual std::string addEndpoint(const EndpointInfo& info);
    // The device line's VID and PID, once, before the device's first statement:
    // a model that stands for several devices picks its behaviour by them.
    virtual void setIdentity(uint16_t /*vid*/, uint16_t /*pid*/) {}
    // After the device's last statement: complain about an inconsistent set-up.
    virtual std::string finish() { return {}; }

    virtual std::vector<EndpointInfo> endpoints() const = 0;
    virtual int interfaceCount() const { return 1; }

    // A control request. `data` holds setup.length bytes: sent bytes for host-to-device
    // requests, room to fill otherwise. Returns the bytes transferred or a negative
    // libusb error code (LIBUSB_ERROR_PIPE stalls the request).
    virtual int control(const ControlSetup& setup, uint8_t* data, SimTime now) = 0;
    // Bytes for the transfer at the head of an IN endpoint's queue: up to `room`
    // bytes into `buffer`. Called again whenever the core wakes, so a model may
    // deliver a transfer's bytes over several calls.
    virtual InData readIn(uint8_t endpoint, uint8_t* buffer, size_t room, SimTime now) = 0;
    // A transfer was submitted on an IN endpoint, at `now`. The core asks for its
    // bytes only when it next wakes, which a loaded machine may delay past the
    // transfer's timeout: a stream that runs from the endpoint's first read
    // starts its clock here.
    virtual void readRequested(uint8_t /*endpoint*/, SimTime /*now*/) {}
    // An OUT transfer's bytes. Returns the bytes taken or a negative libusb error
    // code (LIBUSB_ERROR_PIPE stalls the endpoint).
    virtual int writeOut(uint8_t endpoint, const uint8_t* data, size_t length, SimTime now) = 0;

    // The device was opened / its last handle closed.
    virtual void opened() {}
    virtual void closed() {}
};

using ModelFactory = std::function<std::unique_ptr<DeviceModel>()>;

// Adds or replaces a model that scenarios can name (`device ... model=NAME`).
// Built-in models are always there; tests register their own.
void registerModel(const std::string& name, ModelFactory factory);
// A new instance of the named model, or null for an unknown name.
std::unique_ptr<DeviceModel> createModel(std::string_view name);

}  // namespace qwsim
