// The I/O thread of SerialController: one loop over the port's asynchronous
// primitives, the same on every platform. Each turn collects what completed
// (comm event, read, write), reports line errors and modem-line changes, re-arms
// what is not in flight and waits for the next completion or wake-up.

#include <algorithm>

#include "session/Message.h"
#include "foundation/Error.h"
#include "serial/SerialController.h"

using vek::io::SerialPort;

namespace {

// How often the line state is looked at when the port cannot signal line events.
constexpr int kLinePollMs = 20;
// How often a stopping capture looks whether its last bytes have left.
constexpr int kDrainPollMs = 10;
// The receive buffer follows readBlockSize, within sane bounds.
constexpr uint64_t kMaxReadBuffer = 16u << 20;

bool writeU32Message(TransportBase& out, uint8_t code, uint32_t value) {
    uint8_t payload[4];
    for (int i = 0; i < 4; ++i) payload[i] = static_cast<uint8_t>(value >> (8 * i));
    return writeMessage(out, code, payload, sizeof payload);
}

}  // namespace

void SerialController::ioThread(TransportBase* output) {
    // Declared before the loop runs so they outlive whatever it leaves in flight.
    std::vector<uint8_t> buffer;
    std::vector<uint8_t> sending;
    if (!pump(*output, buffer, sending) && recordCaptureFailure()) writeErrorMessage(*output);
    setIoRunning(false);
    // Cancel and complete outstanding reads and writes before their buffers go.
    port_->endIo();
    sending.clear();
    // Ends the session's command loop, so a failed port ends the session.
    if (TransportBase* command = commandTransport.load()) command->close();
}

bool SerialController::pump(TransportBase& out, std::vector<uint8_t>& buffer, std::vector<uint8_t>& sending) {
    // An output that no longer takes messages ends the capture: carrying on would
    // lose everything the port receives from then on without a word.
    if (!port_->beginIo()) return false;
    buffer.resize(static_cast<size_t>(std::clamp<uint64_t>(settings->readBlockSize, 1, kMaxReadBuffer)));

    // The first wait returns at once: line state is reported before any traffic.
    if (!port_->wake() || !port_->wait(false, -1)) return false;

    bool commEvents = true, linePolling = true, commPending = false, readPending = false, writing = false;
    uint32_t lastStatus = vek::io::kModemStatusUnknown;
    for (;;) {
        // A stop sends what the host was told is sent, and keeps capturing meanwhile.
        bool stopping = stopRequested();
        if (stopping) {
            Drain state = drain(sending, writing);
            if (state != Drain::kWaiting) return state == Drain::kDone;
        }

        if (commPending && port_->takeCommEvent()) commPending = false;

        if (readPending) {
            size_t n = 0;
            SerialPort::IoState state = port_->readState(&n);
            if (state == SerialPort::IoState::kFailed) return false;
            if (state == SerialPort::IoState::kDone) {
                readPending = false;
                // An idle read that timed out brings nothing to report.
                if (n > 0 && !writeMessage(out, kMsgSerialData, buffer.data(), n)) return false;
            }
        }

        if (writing) {
            SerialPort::IoState state = port_->writeState();
            if (state == SerialPort::IoState::kFailed) return false;
            if (state == SerialPort::IoState::kDone) {
                writing = false;
                sending.clear();
            }
        }

        uint32_t errors = port_->lineErrors();
        if (errors && !writeU32Message(out, kMsgSerialLineErrors, errors)) return false;

        // The first readable status always differs from the all-ones start value.
        uint32_t status = port_->modemStatus();
        if (status != lastStatus) {
            if (!writeU32Message(out, kMsgSerialModemStatus, status)) return false;
            lastStatus = status;
        }

        if (commEvents && !commPending) {
            switch (port_->startCommWait()) {
            case SerialPort::CommWait::kPending: commPending = true; break;
            // Such a port still carries data; poll its line state instead.
            case SerialPort::CommWait::kUnsupported: commEvents = false; break;
            case SerialPort::CommWait::kUnobservable: commEvents = linePolling = false; break;
            case SerialPort::CommWait::kFailed: return false;
            }
        }

        if (!readPending) {
            if (!port_->startRead(buffer.data(), buffer.size())) return false;
            readPending = true;
        }

        if (!writing && takeTransmit(sending)) {
            if (!port_->startWrite(sending.data(), sending.size())) return false;
            writing = true;
        }

        int timeout = stopping ? kDrainPollMs : commEvents || !linePolling ? -1 : kLinePollMs;
        if (!port_->wait(writing, timeout)) return false;
    }
}
