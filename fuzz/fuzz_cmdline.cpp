// The command line from arbitrary bytes: arguments separated by NUL (as argv can
// never hold one), parsed and validated like the program does. Besides surviving,
// an accepted command line must satisfy what validation promises its users, and a
// rejected one must say why.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/CmdLineParser.h"
#include "foundation/Error.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

void checkValidated(const Settings& s) {
    require(s.transportKind >= kTransportSingleFile && s.transportKind <= kTransportPipeServer);
    if (s.has(kFlagQwlog)) require(s.transportKind == kTransportOutputOnly && !s.outputFileName.empty());
    if (s.transportKind == kTransportTcpServer) require(s.tcpPort != 0 && s.tcpPort <= 0xFFFF);
    if (s.transportKind == kTransportPipeServer) require(!s.inputFileName.empty());
    if (s.hardwareKind == kHardwareSerial) require(!s.serialPortName.empty());
    if (!s.ezusbFileName.empty()) require(s.usbVid != 0 && s.usbPid != 0);
    require(s.usbVid <= 0xFFFF && s.usbPid <= 0xFFFF);
    require(s.spiConfig.mode <= 3 && s.spiConfig.dataBits % 4 == 0 && s.spiConfig.dataBits <= 16);
    require(s.fpgaBaseIndex != 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"quenwick-hwc"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty()) args.push_back(current);

    Settings settings;
    if (parseCommandLine(args, settings))
        checkValidated(settings);
    else
        require(!vek::err::getLastErrorDescription().empty());
    return 0;
}
