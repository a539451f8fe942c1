#pragma once
// The scenario text: which devices are attached, what they do and which faults
// they show. sim/README.md describes the format.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Engine.h"

namespace qwsim {

// False with "line N: problem" in error (file form: "FILE:N: problem").
bool parseScenario(std::string_view text, const std::string& baseDir, std::vector<std::unique_ptr<SimDevice>>* devices,
                   Settings* settings, std::string* error);
bool parseScenarioFile(const std::string& path, std::vector<std::unique_ptr<SimDevice>>* devices, Settings* settings,
                       std::string* error);

// Word helpers, shared with the device models. Each is false on a malformed word.
// Numbers are decimal or 0x hex, with an optional K, M or G (x1024 each).
bool parseNumber(const std::string& word, uint64_t* value);
// A libusb error code: a negative number or a name (io, param, access, nodevice,
// notfound, busy, timeout, overflow, pipe, interrupted, nomem, notsupported, other).
bool parseErrorCode(const std::string& word, int* code);
// A transfer status: a number up to 7 or a name (completed, error, timeout,
// cancelled, stall, nodevice, overflow).
bool parseStatus(const std::string& word, int* status);
// Bytes written as hex: "01", "0x01", "0a0b0c".
bool parseHexBytes(const std::string& word, std::vector<uint8_t>* out);
// The value of a "key=value" word from index `from` on.
std::optional<std::string> option(const Statement& st, const char* key, size_t from = 1);
// A file name as the scenario gives it, made absolute against the scenario's folder.
std::string scenarioPath(const Statement& st, const std::string& name);

}  // namespace qwsim
