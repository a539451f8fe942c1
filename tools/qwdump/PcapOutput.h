#pragma once
// qwdump --pcap: the captures read, converted into one pcap file. The first
// capture's device fixes the file's link type; a later capture of another
// device cannot join it.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "PcapConverter.h"
#include "foundation/File.h"

class PcapOutput {
public:
    PcapOutput(std::string name, PcapConverter::Form form) : name_(std::move(name)), form_(form) {}

    // Creates the file. False with the last error set.
    bool open();
    // Before each capture. False when `family` is not the first capture's.
    bool start(DeviceFamily family);
    DeviceFamily family() const { return converter_ ? family_ : DeviceFamily::kUnknown; }
    void message(std::optional<uint64_t> time, uint8_t code, std::span<const uint8_t> payload);
    // Writes what is gathered; at the end, also an I2C transfer still open.
    // False with the last error set when the file cannot take it.
    bool flush(bool atEnd = false);
    uint64_t leftOut() const { return converter_ ? converter_->leftOut() : 0; }
    const char* linkName() const;

private:
    std::string name_;
    PcapConverter::Form form_;
    std::unique_ptr<vek::io::Stream> file_;
    std::unique_ptr<PcapConverter> converter_;
    DeviceFamily family_ = DeviceFamily::kUnknown;
    std::vector<uint8_t> buffer_;
    bool failed_ = false;
};
