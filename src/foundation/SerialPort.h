#pragma once
// A serial port: open, line settings, modem-line control, and the asynchronous
// primitives one I/O thread needs to stream it (a read, a write and a comm-event
// wait in flight at once, plus a wake-up another thread can trigger).
//
// The I/O algorithm itself lives with its one user (SerialController); this class
// only hides how the platform does each step: overlapped I/O and WaitCommEvent on
// Windows, a non-blocking descriptor polled together with a wake pipe on POSIX.
//
// Threads: open/close/setSettings/escape are called by the owner's thread while
// no I/O thread runs, or (setSettings, escape) while it runs - the OS serialises
// those against the I/O in flight. wake() may be called from any thread for as
// long as the object lives. Everything between beginIo() and endIo() is called by
// the I/O thread only. Every failure stores the thread's last error (Windows
// domain on Windows, errno domain on POSIX) and returns false / kFailed.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vek::io {

// Line settings. Stop-bit and parity codes are those of the Windows DCB.
struct SerialSettings {
    uint32_t baudRate = 38400;
    uint32_t dataBits = 8;
    uint32_t stopBits = 0;     // 0 one, 1 one and a half, 2 two
    uint32_t parity = 0;       // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint32_t flowControl = 0;  // 0 none, 1 RTS/CTS, 2 XON/XOFF
    uint32_t readInterval = 10;  // ms between bytes that ends a read (mask 0x20)
    uint8_t dtr = 1;
    uint8_t rts = 1;
};

// Which fields of SerialSettings an apply touches.
enum SerialSettingsMask : uint32_t {
    kApplyBaudRate = 0x01,
    kApplyFlowControl = 0x02,  // together with the DTR and RTS levels
    kApplyDataBits = 0x04,
    kApplyStopBits = 0x08,
    kApplyParity = 0x10,
    kApplyReadInterval = 0x20,
    kApplyLineSettings = 0x1F,  // everything but the time-outs
};

enum SerialFlowControl : uint32_t { kFlowNone = 0, kFlowRtsCts = 1, kFlowXonXoff = 2 };

enum class SerialEscape { kSetDtr, kClearDtr, kSetRts, kClearRts, kSetBreak, kClearBreak };

// Line-error bits, as sent to the host.
constexpr uint32_t kLineErrorFrame = 0x1;
constexpr uint32_t kLineErrorParity = 0x2;
constexpr uint32_t kLineErrorBreak = 0x4;

// Modem-status bits, as sent to the host (the Windows modem status shifted down).
constexpr uint32_t kModemCts = 0x1;
constexpr uint32_t kModemDsr = 0x2;
constexpr uint32_t kModemRing = 0x4;
constexpr uint32_t kModemRlsd = 0x8;
// What a port that cannot report its lines reads as.
constexpr uint32_t kModemStatusUnknown = ~uint32_t{0};

// "115200 baud, 8 data bits, 1.5 stop bits, even parity", for messages.
std::string describeLineSettings(const SerialSettings& settings);

// The path the OS opens for a port name: "\\.\" in front on Windows unless
// already there; "/dev/" in front on POSIX unless the name is a path.
std::string serialDevicePath(std::string_view name);

class SerialPort {
public:
    enum class IoState { kPending, kDone, kFailed };
    // kUnsupported: no line events, but the line state can be polled;
    // kUnobservable: neither (a pty), so polling it is pointless.
    enum class CommWait { kPending, kUnsupported, kUnobservable, kFailed };

    // Never null. A failure to create the wake-up primitive shows at open().
    static std::unique_ptr<SerialPort> create();

    SerialPort() = default;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    virtual ~SerialPort() = default;

    // Opens exclusively, closing any port held before. A port another program
    // has open fails at once. Failures carry a console context naming the
    // port (and whether it is busy or no serial port at all).
    virtual bool open(std::string_view name) = 0;
    // Idempotent. Must not be called between beginIo and endIo.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // A refusal's console context names the port and what it refused.
    virtual bool setSettings(const SerialSettings& settings, uint32_t mask) = 0;
    virtual bool escape(SerialEscape what) = 0;

    // Makes the I/O thread's current or next wait() return. Any thread.
    virtual bool wake() = 0;

    // --- I/O thread only ---
    // Arms line-event reporting and makes reads complete with the bytes that
    // have arrived rather than when the buffer is full.
    virtual bool beginIo() = 0;
    // Cancels what is still in flight and waits for it to complete, so the
    // buffers handed to startRead/startWrite may be released afterwards.
    virtual void endIo() = 0;

    // kUnsupported / kUnobservable: the port cannot report line events; it
    // never will, so the caller stops asking and polls the line state instead,
    // or not at all.
    virtual CommWait startCommWait() = 0;
    // `buffer` / `data` must stay valid until the operation is done or endIo.
    virtual bool startRead(void* buffer, size_t size) = 0;
    virtual bool startWrite(const void* data, size_t size) = 0;

    // Blocks until a wake-up, a comm event, the read, (when `withWrite`) the
    // write, or `timeoutMs` (negative: no limit) passes. False when waiting fails.
    virtual bool wait(bool withWrite, int timeoutMs) = 0;

    // Whether the comm-event wait has completed since it was started; consumes it.
    virtual bool takeCommEvent() = 0;
    // State of the read in flight; kDone gives the byte count (possibly 0).
    virtual IoState readState(size_t* count) = 0;
    // State of the write in flight; kDone once every byte is written.
    virtual IoState writeState() = 0;

    // Bytes written but still in the system's queue, not yet on the line; 0
    // when the system cannot tell.
    virtual size_t outputPending() = 0;
    // Frame/parity/break errors seen since the last call (kLineError* bits).
    virtual uint32_t lineErrors() = 0;
    // kModem* bits, or kModemStatusUnknown (last error set) when not readable.
    virtual uint32_t modemStatus() = 0;
};

}  // namespace vek::io
