#pragma once
// Which device wrote a capture: message codes mean different things per family.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "foundation/Guid.h"

// kUnknown: only the codes every device shares are decoded.
enum class DeviceFamily { kUnknown, kSerial, kSerialPlim, kSerialPlimPro, kI2c, kSpi, kEthernet };

// The --device names: serial, serial-plim, serial-plim-pro, i2c, spi, ethernet.
std::optional<DeviceFamily> familyFromName(std::string_view name);
std::string_view familyName(DeviceFamily family);
// "Serial Plim Pro", for people.
std::string_view familyTitle(DeviceFamily family);

// The family's number in captures written for Wireshark: the program's own
// hardware kind (Settings.h), 0 for kUnknown.
uint8_t familyNumber(DeviceFamily family);
std::optional<DeviceFamily> familyFromNumber(uint8_t number);

// From the class GUIDs of a *.qwlog header. The serial port and the Serial Plim
// share theirs, as do I2C and SPI: the records tell them apart.
std::optional<DeviceFamily> familyFromGuids(std::span<const vek::Guid> guids);
