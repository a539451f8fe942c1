#pragma once
// Prints described messages and records, one line each, as text or as JSON,
// and keeps the counts --stats prints at the end.

#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <string>

#include "Describe.h"

struct PrintOptions {
    bool json = false;
    bool stats = false;
};

class Printer {
public:
    Printer(std::FILE* out, PrintOptions options) : out_(out), options_(options) {}

    // A message of a framed stream at byte `offset` of its file.
    void message(uint64_t offset, DeviceFamily family, uint8_t code, std::span<const uint8_t> payload);
    // A *.qwlog record with its FILETIME stamp.
    void record(uint64_t timestamp, DeviceFamily family, uint64_t code, std::span<const uint8_t> data);
    // The next file of several.
    void file(const std::string& name);
    // The counts, when asked for.
    void finish();

private:
    void emit(const std::string& where, const std::string& whereJson, const Described& d);
    void count(const Described& d, int direction, size_t bytes);

    std::FILE* out_;
    PrintOptions options_;
    std::map<std::string, uint64_t> counts_;
    uint64_t directionBytes_[2] = {0, 0};
};

// A FILETIME as local time, "2026-12-06T11:22:33.1234567".
std::string localIsoTime(uint64_t filetime);
// The text as a JSON string literal.
std::string jsonString(const std::string& text);
