#pragma once
// What the I2C and SPI controllers share: one device, the I2C/SPI Plim, driven
// in either mode.

#include <cstdint>

#include "foundation/Guid.h"

namespace i2cspi {

constexpr uint16_t kVid = 0x16D0;
constexpr uint16_t kPid = 0x0E27;
constexpr uint32_t kDefaultBaseIndex = 0x1000;

// One-byte device commands.
constexpr uint8_t kStartI2c = 0x55;
constexpr uint8_t kStartSpi = 0x80;              // + SPI mode
constexpr uint8_t kStartSpiLittleEndian = 0x70;  // + SPI mode
constexpr uint8_t kStopMonitor = 0xAA;

inline constexpr vek::Guid kLogGuids[] = {
    {0x39EE6B0F, 0xA65E, 0x4E8A, {0xB2, 0x52, 0x6F, 0xA2, 0x8D, 0x8E, 0x33, 0x27}},
    {0xB26C1B57, 0x16C7, 0x48A5, {0xBB, 0xB9, 0x05, 0xEA, 0x1A, 0xDA, 0x53, 0x68}},
};

}  // namespace i2cspi
