#include "Interfaces.h"

#include <cctype>
#include <cstdlib>

#include "app/CmdLineValueMaps.h"
#include "foundation/Format.h"

using vek::sl::formatString;

namespace {

constexpr ExtcapInterface kInterfaces[] = {
    {"qwserialplim", "Quenwick Serial Plim", "", 0x16D0, 0x0E26, "--serial-plim", DeviceFamily::kSerialPlim, false},
    {"qwserialpro", "Quenwick Serial Plim Pro", "", 0x326F, 0x0005, "--serial-plim-pro", DeviceFamily::kSerialPlimPro, true},
    {"qwi2c", "Quenwick I2C/SPI Plim", " (I2C)", 0x16D0, 0x0E27, "--i2c-plim", DeviceFamily::kI2c, true},
    {"qwspi", "Quenwick I2C/SPI Plim", " (SPI)", 0x16D0, 0x0E27, "--spi-plim", DeviceFamily::kSpi, true},
    {"qwethernet", "Quenwick Ethernet Plim", "", 0x326F, 0x0003, "--ethernet-plim", DeviceFamily::kEthernet, true},
};

bool serialLine(const ExtcapInterface& i) {
    return i.family == DeviceFamily::kSerialPlim || i.family == DeviceFamily::kSerialPlimPro;
}

// Builds the numbered arg lines of one interface's dialog.
class Config {
public:
    std::string text;

    int arg(const std::string& call, const std::string& display, const std::string& type, const std::string& tooltip,
            const std::string& extra = "") {
        text += formatString("arg {number=%d}{call=%s}{display=%s}{type=%s}%s{tooltip=%s}\n", next_, call.c_str(),
                             display.c_str(), type.c_str(), extra.c_str(), tooltip.c_str());
        return next_++;
    }
    void value(int arg, const std::string& value, const std::string& display, bool isDefault) {
        text += formatString("value {arg=%d}{value=%s}{display=%s}{default=%s}\n", arg, value.c_str(), display.c_str(),
                             isDefault ? "true" : "false");
    }
    void values(int arg, const std::vector<std::string_view>& names, std::string_view byDefault) {
        for (std::string_view n : names) value(arg, std::string(n), std::string(n), n == byDefault);
    }

private:
    int next_ = 0;
};

}  // namespace

std::span<const ExtcapInterface> extcapInterfaces() { return kInterfaces; }

const ExtcapInterface* findInterface(const std::string& name, long* index) {
    for (const ExtcapInterface& i : kInterfaces) {
        std::string prefix = i.prefix;
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size()) continue;
        char* end = nullptr;
        long n = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (*end != '\0' || n < 0 || !std::isdigit(static_cast<unsigned char>(name[prefix.size()]))) continue;
        *index = n;
        return &i;
    }
    return nullptr;
}

std::string dltLines(const ExtcapInterface& iface) {
    switch (iface.family) {
        case DeviceFamily::kEthernet: return "dlt {number=1}{name=EN10MB}{display=Ethernet}\n";
        case DeviceFamily::kI2c: return "dlt {number=209}{name=I2C_LINUX}{display=I2C with Linux pseudo-header}\n";
        default: break;
    }
    return "dlt {number=147}{name=USER0}{display=Quenwick host messages (quenwick.lua)}\n";
}

std::string configLines(const ExtcapInterface& iface, long index) {
    Config c;
    c.arg("--index", "Device index", "unsigned", "Which attached device of this kind, counting from 0",
          formatString("{default=%ld}", index));
    if (iface.fpga)
        c.arg("--firmware", "FPGA firmware", "fileselect", "An *.rpd file uploaded before the capture starts",
              "{mustexist=true}");
    if (serialLine(iface)) {
        c.arg("--baud", "Baud rate", "unsigned", "The line's speed", "{default=38400}{range=1,2500000}");
        int data = c.arg("--data-bits", "Data bits", "selector", "Bits of each character");
        for (const char* bits : {"5", "6", "7", "8"}) c.value(data, bits, bits, bits[0] == '8');
        int stop = c.arg("--stop-bits", "Stop bits", "selector", "1.5 only with 5 data bits");
        c.values(stop, SerialStopBitsStringTable::instance().names(), "1");
        int parity = c.arg("--parity", "Parity", "selector", "The parity bit");
        c.values(parity, SerialParityStringTable::instance().names(), "none");
    }
    if (iface.family == DeviceFamily::kSerialPlimPro) {
        for (const char* line : {"DTR", "RTS"}) {
            std::string lower = line[0] == 'D' ? "dtr" : "rts";
            int arg = c.arg("--" + lower, line, "selector", std::string("The level the device drives ") + line + " to");
            c.value(arg, "1", "on", true);
            c.value(arg, "0", "off", false);
        }
        c.arg("--device-time", "Device time stamps", "boolflag",
              "Raw time-stamped packets: each record with the device's own time (decoded by quenwick.lua)");
    }
    if (iface.family == DeviceFamily::kSpi) {
        int mode = c.arg("--spi-mode", "SPI mode", "selector", "Clock polarity and phase");
        for (const char* m : {"0", "1", "2", "3"}) c.value(mode, m, m, m[0] == '0');
        int bits = c.arg("--spi-data", "Word width", "selector", "Bits of each word");
        for (const char* b : {"4", "8", "12", "16"}) c.value(bits, b, b, std::string(b) == "8");
        c.arg("--spi-little-endian", "Little-endian words", "boolflag", "Words arrive least significant nibble first");
    }
    if (iface.family == DeviceFamily::kI2c)
        c.arg("--i2c-messages", "Every message (quenwick.lua)", "boolflag",
              "Acknowledge bits, bus events and errors as Quenwick messages (USER0) instead of Wireshark's I2C");
    return c.text;
}

std::vector<std::string> commandLine(const ExtcapInterface& iface, long index,
                                     const std::map<std::string, std::string>& options) {
    auto option = [&](const char* name) {
        auto it = options.find(name);
        return it == options.end() ? std::string() : it->second;
    };
    std::string deviceIndex = option("--index");
    std::vector<std::string> args = {"quenwick-extcap", iface.deviceSwitch,
                                     "--index=" + (deviceIndex.empty() ? std::to_string(index) : deviceIndex)};
    // Dialog option -> switch of the program, each given only when set.
    const std::pair<const char*, const char*> valued[] = {
        {"--baud", "--ser-baud"}, {"--data-bits", "--ser-data"}, {"--stop-bits", "--ser-stop"},
        {"--parity", "--ser-parity"}, {"--dtr", "--ser-dtr"},   {"--rts", "--ser-rts"},
        {"--spi-mode", "--spi-mode"}, {"--spi-data", "--spi-data"},
    };
    for (const auto& [name, program] : valued)
        if (std::string value = option(name); !value.empty()) args.push_back(std::string(program) + "=" + value);
    if (options.count("--spi-little-endian")) args.push_back("--spi-little-endian=1");
    args.push_back("--stdout");
    return args;
}
