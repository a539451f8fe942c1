#include "DeviceFamily.h"

#include <utility>

#include "session/Settings.h"

namespace {

struct Naming {
    std::string_view name;
    DeviceFamily family;
    std::string_view title;
    uint8_t number;
};
constexpr Naming kNames[] = {
    {"serial", DeviceFamily::kSerial, "serial port", kHardwareSerial},
    {"serial-plim", DeviceFamily::kSerialPlim, "Serial Plim", kHardwareSerialPlim},
    {"serial-plim-pro", DeviceFamily::kSerialPlimPro, "Serial Plim Pro", kHardwareSerialPlimPro},
    {"i2c", DeviceFamily::kI2c, "I2C Plim", kHardwareI2cPlim},
    {"spi", DeviceFamily::kSpi, "SPI Plim", kHardwareSpiPlim},
    {"ethernet", DeviceFamily::kEthernet, "Ethernet Plim", kHardwareEthernetPlim},
};

// The first class GUID of each controller's log records.
constexpr vek::Guid kSerialClass{0x29725452, 0xE64F, 0x4C0E, {0xA8, 0x71, 0x77, 0x62, 0x77, 0xB6, 0x85, 0x72}};
constexpr vek::Guid kSerialProClass{0x3A1EC99B, 0x234A, 0x49A0, {0xBE, 0x4B, 0xF6, 0xE6, 0x0B, 0x80, 0xA5, 0xC0}};
constexpr vek::Guid kI2cSpiClass{0x39EE6B0F, 0xA65E, 0x4E8A, {0xB2, 0x52, 0x6F, 0xA2, 0x8D, 0x8E, 0x33, 0x27}};
constexpr vek::Guid kEthernetClass{0xAE3DC2DA, 0x6124, 0x4C14, {0xB0, 0x5A, 0x20, 0x0D, 0xF2, 0xFC, 0x58, 0x0A}};

}  // namespace

std::optional<DeviceFamily> familyFromName(std::string_view name) {
    for (const Naming& n : kNames)
        if (n.name == name) return n.family;
    return std::nullopt;
}

std::string_view familyName(DeviceFamily family) {
    for (const Naming& n : kNames)
        if (n.family == family) return n.name;
    return "?";
}

std::string_view familyTitle(DeviceFamily family) {
    for (const Naming& n : kNames)
        if (n.family == family) return n.title;
    return "unknown device";
}

uint8_t familyNumber(DeviceFamily family) {
    for (const Naming& n : kNames)
        if (n.family == family) return n.number;
    return 0;
}

std::optional<DeviceFamily> familyFromNumber(uint8_t number) {
    if (number == 0) return DeviceFamily::kUnknown;
    for (const Naming& n : kNames)
        if (n.number == number) return n.family;
    return std::nullopt;
}

std::optional<DeviceFamily> familyFromGuids(std::span<const vek::Guid> guids) {
    for (const vek::Guid& g : guids) {
        if (g == kSerialClass) return DeviceFamily::kSerialPlim;
        if (g == kSerialProClass) return DeviceFamily::kSerialPlimPro;
        if (g == kI2cSpiClass) return DeviceFamily::kI2c;
        if (g == kEthernetClass) return DeviceFamily::kEthernet;
    }
    return std::nullopt;
}
