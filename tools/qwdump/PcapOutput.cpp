#include "PcapOutput.h"

namespace {
// Written out when this much has gathered, so a large capture needs no more memory.
constexpr size_t kFlushSize = size_t{1} << 20;
}  // namespace

bool PcapOutput::open() {
    file_ = vek::io::openFile(name_, vek::io::FileMode::kOutputWriteOnly);
    return file_ != nullptr;
}

bool PcapOutput::start(DeviceFamily family) {
    if (converter_) return family == family_;
    family_ = family;
    converter_ = std::make_unique<PcapConverter>(family, form_);
    converter_->begin(buffer_);
    return true;
}

void PcapOutput::message(std::optional<uint64_t> time, uint8_t code, std::span<const uint8_t> payload) {
    converter_->message(time, code, payload, buffer_);
    if (buffer_.size() >= kFlushSize) flush();
}

bool PcapOutput::flush(bool atEnd) {
    if (atEnd && converter_) converter_->finish(buffer_);
    // After a failed write the file is not whole: nothing more goes into it,
    // and the first failure stays the thread's last error.
    if (!failed_ && !buffer_.empty()) failed_ = file_->write(buffer_.data(), buffer_.size()) == vek::io::kStreamFailed;
    buffer_.clear();
    return !failed_;
}

const char* PcapOutput::linkName() const {
    switch (converter_ ? converter_->linkType() : pcap::kLinkUser0) {
        case pcap::kLinkEthernet: return "Ethernet";
        case pcap::kLinkI2cLinux: return "I2C_LINUX";
        case pcap::kLinkUser0: break;
    }
    return "USER0";
}
