#include "foundation/SerialPort.h"

#include "foundation/Format.h"

namespace vek::io {

std::string describeLineSettings(const SerialSettings& s) {
    static const char* const kStopBits[] = {"1 stop bit", "1.5 stop bits", "2 stop bits"};
    static const char* const kParity[] = {"no parity", "odd parity", "even parity", "mark parity", "space parity"};
    std::string stop = s.stopBits < 3 ? kStopBits[s.stopBits] : sl::formatString("stop bits code %u", s.stopBits);
    std::string parity = s.parity < 5 ? kParity[s.parity] : sl::formatString("parity code %u", s.parity);
    return sl::formatString("%u baud, %u data bits, %s, %s", s.baudRate, s.dataBits, stop.c_str(), parity.c_str());
}

}  // namespace vek::io
