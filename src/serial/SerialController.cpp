#include "serial/SerialController.h"

#include "session/Message.h"
#include "foundation/Error.h"
#include "foundation/Thread.h"

using vek::io::SerialEscape;
using vek::io::SerialSettings;

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
    bool ok = port_->open(settings->serialPortName) &&
              port_->setSettings(startSettings(*settings), vek::io::kApplyLineSettings) &&
              port_->escape(SerialEscape::kClearBreak);
    if (!ok) {
        port_->close();
        return false;
    }
    stateFlags = 0;
    outputTransport = output;
    if (!vek::sys::startThread(thread_, &SerialController::ioThread, this, output)) {
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
        return port_->setSettings(line, vek::io::kApplyLineSettings);
    }
    case kCmdSerialTransmit:
        if (size == 0) return true;
        {
            std::lock_guard<std::mutex> hold(lock);
            transmitQueue_.emplace_back(payload, payload + size);
        }
        // Queued either way; a failed wake-up only delays it to the next event.
        port_->wake();
        return true;
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
    stateFlags = kClosed;
}

bool SerialController::takeTransmit(std::vector<uint8_t>& request) {
    std::lock_guard<std::mutex> hold(lock);
    if (transmitQueue_.empty()) return false;
    request = std::move(transmitQueue_.front());
    transmitQueue_.pop_front();
    return true;
}
