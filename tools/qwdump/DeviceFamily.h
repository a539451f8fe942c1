#pragma once
// Which device wrote a capture: message codes mean different things per family.

#include <optional>
#include <span>
#include <string_view>

#include "foundation/Guid.h"

// kUnknown: only the codes every device shares are decoded.
enum class DeviceFamily { kUnknown, kSerial, kSerialPlim, kSerialPlimPro, kI2c, kSpi, kEthernet };

// The --device names: serial, serial-plim, serial-plim-pro, i2c, spi, ethernet.
std::optional<DeviceFamily> familyFromName(std::string_view name);
std::string_view familyName(DeviceFamily family);

// From the class GUIDs of a *.qwlog header. The serial port and the Serial Plim
// share theirs, as do I2C and SPI: the records tell them apart.
std::optional<DeviceFamily> familyFromGuids(std::span<const vek::Guid> guids);
