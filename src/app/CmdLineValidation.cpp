// Completing and checking Settings once every argument is in. The checks run in a
// fixed order and the first failure is the one reported.

#include "app/CmdLineParser.h"
#include "foundation/Error.h"
#include "foundation/TextCase.h"

namespace {

bool fail(const char* text) {
    vek::err::setStringError(text);
    return false;
}

bool validateTransport(Settings& s) {
    switch (s.transportKind) {
        case kTransportOutputOnly:
        case kTransportOutputInput:
            if (s.outputFileName.empty()) s.flags |= kFlagStdout;
            if (s.has(kFlagSuspend) && s.transportKind == kTransportOutputOnly)
                return fail("can't start suspended without input stream");
            return true;
        case kTransportTcpServer:
            return s.tcpPort != 0 || fail("TCP server port name not specified");
        case kTransportPipeServer:
            if (s.inputFileName.empty()) return fail("pipe server name not specified");
            // Pipe names compare without case on Windows, so they are kept in
            // one case. A name with a slash is a socket path on POSIX, where
            // case matters; it keeps its case (harmless on Windows).
            if (s.inputFileName.find('/') == std::string::npos) s.inputFileName = vek::sl::toLowerUtf8(s.inputFileName);
            return true;
        default:
            return true;
    }
}

}  // namespace

bool validateSettings(CmdLineParser& parser) {
    Settings& s = parser.settings();
    if (s.transportKind == kTransportNone) s.transportKind = s.has(kFlagStdin) ? kTransportOutputInput : kTransportOutputOnly;

    if (s.has(kFlagQwlog)) {
        // A qwlog file holds framed messages; pcap bytes would be cut into records.
        if (s.has(kFlagPcap)) return fail("--pcap and --qwlog cannot be used together");
        if (s.transportKind != kTransportOutputOnly) return fail("this transport cannot be used to output *.qwlog");
        if (s.outputFileName.empty()) return fail("output *.qwlog file is not specified");
    }
    if (!validateTransport(s)) return false;

    if (!s.firmwareFileName.empty() && s.transportKind == kTransportOutputOnly) s.flags |= kFlagFirmwareUploadOnly;
    if (s.hardwareKind == kHardwareSerial && s.serialPortName.empty()) return fail("serial port name not specified");
    if (!s.ezusbFileName.empty() && (s.usbVid == 0 || s.usbPid == 0))
        return fail("USB VID & PID are required for uploading an EZ-USB config");
    // The Serial Plim Pro's decoder takes exactly one 512-byte packet per read,
    // so the user's block size does not apply to it.
    if (s.hardwareKind == kHardwareSerialPlimPro) s.readBlockSize = 512;
    return true;
}
