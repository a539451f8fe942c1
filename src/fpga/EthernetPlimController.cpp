#include "fpga/EthernetPlimController.h"

#include <cstdio>

#include "foundation/Error.h"
#include "session/Message.h"

namespace {

constexpr vek::Guid kLogGuids[] = {
    {0xAE3DC2DA, 0x6124, 0x4C14, {0xB0, 0x5A, 0x20, 0x0D, 0xF2, 0xFC, 0x58, 0x0A}},
    {0xB26C1B57, 0x16C7, 0x48A5, {0xBB, 0xB9, 0x05, 0xEA, 0x1A, 0xDA, 0x53, 0x68}},
};

}  // namespace

EthernetPlimController::EthernetPlimController(const Settings* settings)
    : UsbFpgaControllerBase(settings),
      decoder(settings->has(kFlagPcap) ? std::unique_ptr<EthernetPlimDecoderBase>(
                                             std::make_unique<EthernetPlimDecoder_pcap>())
                                       : std::make_unique<EthernetPlimDecoder_std>()) {}

EthernetPlimController::~EthernetPlimController() {
    // The worker threads call processData, which needs the decoder.
    stop();
    waitAndClose();
}

std::span<const vek::Guid> EthernetPlimController::getLogGuids() const { return kLogGuids; }

bool EthernetPlimController::start(TransportBase* output, TransportBase* command) {
    dataOutput = output;
    // Without an output for messages, a capture failure writes none into the pcap stream.
    return UsbFpgaControllerBase::start(settings->has(kFlagPcap) ? nullptr : output, command);
}

std::unique_ptr<FpgaUploaderEventSink> EthernetPlimController::makeHostUploadSink(TransportBase* output) {
    if (settings->has(kFlagPcap)) return std::make_unique<FpgaUploaderConsoleEventSink>(stderr);
    return UsbFpgaControllerBase::makeHostUploadSink(output);
}

void EthernetPlimController::waitAndClose() {
    UsbFpgaControllerBase::waitAndClose();
    // The process thread has ended: the count is the main thread's now.
    if (uint64_t dropped = decoder->takeDroppedFrames())
        std::fprintf(stderr, "dropped %llu Ethernet frame(s) longer than %u bytes: too long for a message\n",
                     static_cast<unsigned long long>(dropped), static_cast<unsigned>(EthernetPlimDecoder_std::kMaxFrame));
}

bool EthernetPlimController::startCapture() {
    if (!stopCapture() || !decoder->beginOutput(*dataOutput)) return false;
    {
        std::lock_guard<std::mutex> hold(decoderLock);
        decoder->reset();
    }
    return sendDeviceCommand(kStartMonitor) && startThreads();
}

bool EthernetPlimController::processData(UsbReadBlock* block) {
    std::lock_guard<std::mutex> hold(decoderLock);
    decoder->decode(block->data(), static_cast<size_t>(block->result), *dataOutput);
    return true;
}
