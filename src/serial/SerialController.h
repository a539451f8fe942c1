#pragma once
// The capture controller of a plain serial port: one I/O thread streams received
// bytes, line errors and modem-line changes to the output as host messages, and
// transmits what the host queues with command 0x28.
//
// Threads: start, processCommand, stop and waitAndClose run on the session's
// thread; stop may come from any thread. The I/O thread is the only writer of
// data, line-error, modem-status and its own error messages. The transmit queue
// and stateFlags change only under `lock`; the port's wake-up tells the I/O thread
// that either changed.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <chrono>
#include <deque>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "session/ControllerBase.h"
#include "foundation/SerialPort.h"

enum SerialMessageCode : uint8_t {
    kMsgSerialData = 0x03,         // to host: received bytes
    kMsgSerialLineErrors = 0x21,   // to host: u32 kLineError* bits
    kMsgSerialModemStatus = 0x22,  // to host: u32 kModem* bits, or all ones
    kCmdSerialSetDtr = 0x24,       // 1 byte level
    kCmdSerialSetRts = 0x25,       // 1 byte level
    kCmdSerialSetBreak = 0x26,     // 1 byte level
    kCmdSerialLineSettings = 0x27, // SerialConfig bytes
    kCmdSerialTransmit = 0x28,     // the bytes to send
};

// Log-record class of a serial capture, {29725452-E64F-4C0E-A871-776277B68572}.
inline constexpr vek::Guid kSerialLogGuid{0x29725452, 0xE64F, 0x4C0E, {0xA8, 0x71, 0x77, 0x62, 0x77, 0xB6, 0x85, 0x72}};

// Transmit bytes the controller holds at most. A transmit command that does
// not fit waits for room, so a fast host is slowed to the line's pace instead
// of filling memory.
constexpr size_t kTransmitQueueLimit = size_t{4} << 20;
// When the capture stops, acknowledged transmits still get the time they need
// on the line, plus this, counted again whenever some of them have left.
constexpr uint32_t kTransmitDrainGraceMs = 1000;

// How long `bytes` take on a line with these settings, in milliseconds.
uint64_t lineTimeMs(const vek::io::SerialSettings& line, uint64_t bytes);

// The line settings a capture opens with: the command line's line format, and
// DTR / RTS at the levels serialLineMask picks from serialLines (on otherwise).
vek::io::SerialSettings startSettings(const Settings& settings);

// The line settings of command 0x27: the defaults (so DTR and RTS on) with the
// payload's baud rate, data bits, stop bits, parity and flow control. False when
// the payload is shorter than those 8 bytes.
bool commandSettings(const uint8_t* payload, size_t size, vek::io::SerialSettings* out);

class SerialController final : public ControllerBase {
public:
    explicit SerialController(const Settings* settings);
    // Drives `port` instead of the platform's own (tests hand in a double).
    SerialController(const Settings* settings, std::unique_ptr<vek::io::SerialPort> port);
    ~SerialController() override;

    std::span<const vek::Guid> getLogGuids() const override;
    // 0x24-0x26 with an empty payload and 0x27 with fewer than 8 bytes do nothing
    // and succeed; other codes fail with Windows error 87. 0x28 waits for room
    // in the transmit queue; it fails (Windows error 1609) only when no capture
    // runs to send the bytes.
    bool processCommand(const uint8_t* message) override;
    void stop() override;
    // Opens serialPortName, applies the line settings, clears BREAK and starts
    // the I/O thread. On failure the port is closed again and the error kept.
    bool start(TransportBase* output, TransportBase* command) override;
    // Joins the I/O thread, closes the port and drops transmits never sent: the
    // next session must not send the previous host's bytes. The I/O thread has
    // sent every acknowledged byte before it ends, or reported those it could not.
    void waitAndClose() override;

private:
    void ioThread(TransportBase* output);
    // The I/O loop; true when it ended because a stop was asked for, false with
    // the last error set when the port failed. `buffer` and `sending` belong to
    // the caller so that they outlive the I/O still in flight.
    bool pump(TransportBase& output, std::vector<uint8_t>& buffer, std::vector<uint8_t>& sending);
    bool takeTransmit(std::vector<uint8_t>& request);
    enum class Drain { kDone, kWaiting, kFailed };
    // After a stop: kDone once every acknowledged byte is on the line, kFailed
    // (last error set) when no byte has left for the rest's time on the line
    // plus the grace.
    Drain drain(const std::vector<uint8_t>& sending, bool writing);
    void setIoRunning(bool running);

    std::unique_ptr<vek::io::SerialPort> port_;
    std::thread thread_;
    // Guarded by lock:
    std::deque<std::vector<uint8_t>> transmitQueue_;
    size_t queuedBytes_ = 0;
    bool ioRunning_ = false;       // the I/O thread takes transmits
    vek::io::SerialSettings line_;  // as last applied, for the drain time
    std::condition_variable queueChanged_;
    // The I/O thread's own: when the stop's drain must be over unless more
    // bytes leave, and how many were left then (kNotDraining before a drain).
    static constexpr size_t kNotDraining = SIZE_MAX;
    std::chrono::steady_clock::time_point drainDeadline_{};
    size_t drainLeft_ = kNotDraining;
};
