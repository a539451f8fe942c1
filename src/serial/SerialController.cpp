#include "serial/SerialController.h"

#include "session/Message.h"
#include "foundation/Error.h"
#include "foundation/Thread.h"

using vek::io::SerialEscape;
using vek::io::SerialSettings;

uint64_t lineTimeMs(const SerialSettings& line, uint64_t bytes) {
    // Start bit, data bits, parity bit, stop bits, in half bits (1.5 stop bits).
    uint64_t halfBits = 2 + 2 * uint64_t{line.dataBits} + (line.parity != 0 ? 2 : 0) +
                        (line.stopBits == 1 ? 3 : line.stopBits == 2 ? 4 : 2);
    uint64_t baud = line.baudRate ? line.baudRate : 1;
    return (bytes * halfBits * 1000 / 2 + baud - 1) / baud;
}

SerialSettings startSettings(const Settings& s) {
    SerialSettings line;
    line.baudRate = s.serialConfig.baudRate;
    line.dataBits = s.serialConfig.dataBits;
    line.stopBits = s.serialConfig.stopBits;
    line.parity = s.serialConfig.parity;
    line.flowControl = s.serialConfig.flowControl;
    if (s.serialLineMask & kLineDtr) line.dtr = (s.serialLines & kLineDtr) ? 1 : 0;
    if (s.serialLineMask & kLineRts) line.rts = (s.serialLines & kLineRts) ? 1 : 0;
    return line;
}

bool commandSettings(const uint8_t* p, size_t size, SerialSettings* out) {
    if (size < sizeof(SerialConfig)) return false;
    SerialSettings line;
    line.baudRate = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                    static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    line.dataBits = p[4];
    line.stopBits = p[5];
    line.parity = p[6];
    line.flowControl = p[7];
    *out = line;
    return true;
}

SerialController::SerialController(const Settings* settings)
    : SerialController(settings, vek::io::SerialPort::create()) {}

SerialController::SerialController(const Settings* settings, std::unique_ptr<vek::io::SerialPort> port)
    : ControllerBase(settings), port_(std::move(port)) {}

SerialController::~SerialController() {
    stop();
    waitAndClose();
}

std::span<const vek::Guid> SerialController::getLogGuids() const { return {&kSerialLogGuid, 1}; }

bool SerialController::start(TransportBase* output, TransportBase*) {
    if (thread_.joinable()) {
        // Still running, or ended without waitAndClose: one thread per port.
        vek::err::setWinError(vek::err::kWinInvalidHandleState);
        return false;
    }
    SerialSettings line = startSettings(*settings);
    bool ok = port_->open(settings->serialPortName) && port_->setSettings(line, vek::io::kApplyLineSettings) &&
              port_->escape(SerialEscape::kClearBreak);
    if (!ok) {
        port_->close();
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        line_ = line;
    }
    stateFlags = 0;
    outputTransport = output;
    drainLeft_ = kNotDraining;
    setIoRunning(true);
    if (!vek::sys::startThread(thread_, &SerialController::ioThread, this, output)) {
        setIoRunning(false);
        port_->close();
        stateFlags = kClosed;
        return false;
    }
    return true;
}

bool SerialController::processCommand(const uint8_t* message) {
    MessageHdr hdr = messageHeader(message);
    const uint8_t* payload = messagePayload(message);
    size_t size = hdr.size;
    auto level = [&](SerialEscape on, SerialEscape off) { return size == 0 || port_->escape(payload[0] ? on : off); };

    switch (hdr.code) {
    case kCmdSerialSetDtr: return level(SerialEscape::kSetDtr, SerialEscape::kClearDtr);
    case kCmdSerialSetRts: return level(SerialEscape::kSetRts, SerialEscape::kClearRts);
    case kCmdSerialSetBreak: return level(SerialEscape::kSetBreak, SerialEscape::kClearBreak);
    case kCmdSerialLineSettings: {
        SerialSettings line;
        if (!commandSettings(payload, size, &line)) return true;
        if (!port_->setSettings(line, vek::io::kApplyLineSettings)) return false;
        std::lock_guard<std::mutex> hold(lock);
        line_ = line;
        return true;
    }
    case kCmdSerialTransmit: {
        if (size == 0) return true;
        std::unique_lock<std::mutex> hold(lock);
        // Backpressure: the command loop takes no further command until the
        // line has made room.
        queueChanged_.wait(hold, [&] { return queuedBytes_ + size <= kTransmitQueueLimit || !ioRunning_; });
        if (!ioRunning_) {
            vek::err::setWinError(vek::err::kWinInvalidHandleState);
            vek::err::setErrorContext("no capture runs to transmit on serial port " + settings->serialPortName);
            return false;
        }
        transmitQueue_.emplace_back(payload, payload + size);
        queuedBytes_ += size;
        hold.unlock();
        // Queued either way; a failed wake-up only delays it to the next event.
        port_->wake();
        return true;
    }
    default:
        vek::err::setWinError(vek::err::kWinInvalidParameter);
        return false;
    }
}

void SerialController::stop() {
    {
        std::lock_guard<std::mutex> hold(lock);
        stateFlags |= kStopRequested;
    }
    port_->wake();
}

void SerialController::waitAndClose() {
    if (thread_.joinable()) thread_.join();
    port_->close();
    std::lock_guard<std::mutex> hold(lock);
    transmitQueue_.clear();
    queuedBytes_ = 0;
    stateFlags = kClosed;
}

void SerialController::setIoRunning(bool running) {
    std::lock_guard<std::mutex> hold(lock);
    ioRunning_ = running;
    queueChanged_.notify_all();
}

bool SerialController::takeTransmit(std::vector<uint8_t>& request) {
    std::lock_guard<std::mutex> hold(lock);
    if (transmitQueue_.empty()) return false;
    request = std::move(transmitQueue_.front());
    transmitQueue_.pop_front();
    queuedBytes_ -= request.size();
    queueChanged_.notify_all();
    return true;
}

SerialController::Drain SerialController::drain(const std::vector<uint8_t>& sending, bool writing) {
    size_t queued, inSystem = port_->outputPending();
    SerialSettings line;
    {
        std::lock_guard<std::mutex> hold(lock);
        queued = queuedBytes_;
        line = line_;
    }
    // Bytes of the write in flight are counted whole: the port may not have taken any.
    size_t left = queued + (writing ? sending.size() : 0) + inSystem;
    auto now = std::chrono::steady_clock::now();
    // The deadline runs from the last progress: a loaded machine that sends
    // slowly still sends everything; only a line that takes nothing more gives up.
    if (left < drainLeft_) {
        drainLeft_ = left;
        drainDeadline_ = now + std::chrono::milliseconds(lineTimeMs(line, left) + kTransmitDrainGraceMs);
    }
    if (left == 0) return Drain::kDone;
    if (now < drainDeadline_) return Drain::kWaiting;
    vek::err::setFormatStringError("%zu acknowledged transmit bytes could not be sent before the port closed", left);
    vek::err::setErrorContext("serial port " + vek::io::serialDevicePath(settings->serialPortName));
    return Drain::kFailed;
}
