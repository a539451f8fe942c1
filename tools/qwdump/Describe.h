#pragma once
// What one message or log record says, as named fields: the viewer prints them
// as a line of text or as a JSON object.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "DeviceFamily.h"

struct Field {
    std::string key;
    std::string value;
    bool number = false;  // unquoted in JSON
};

struct Described {
    std::string name;  // "line0-data", "i2c-address", ...; "code-0x7e" when unknown
    std::vector<Field> fields;
};

// A framed message of `family`: its code's name and its payload decoded. Never
// reads past the payload; a payload too short for its code is shown as bytes.
Described describeMessage(DeviceFamily family, uint8_t code, std::span<const uint8_t> payload);

// A *.qwlog record by its record code.
Described describeRecord(DeviceFamily family, uint64_t code, std::span<const uint8_t> data);

// Which direction's data a message carries (for --stats): 0 or 1, or -1.
int dataDirection(DeviceFamily family, uint8_t code);
