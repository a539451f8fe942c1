#pragma once
// The EEPROM loader our EZ-USB upload runs in the chip (firmware/loader.c) as
// Intel HEX text. The build embeds it from the sdcc build of the source, or
// from the copy kept beside it (firmware/Loader.cmake).

#include <cstddef>

extern const char kEzUsbLoaderHex[];
// The RAM image's size as counted when the text was generated; parseIntelHex
// gives the same.
extern const size_t kEzUsbLoaderImageSize;
