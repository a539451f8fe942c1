#pragma once
// The Ethernet Plim (--ethernet-plim): the frames it sees on the monitored link,
// as host messages 27/28 or, with --pcap, as a pcap stream. Host commands: 29
// upload the firmware file, 30 start the capture, 31 stop it.
//
// A pcap stream has no room for messages: then only the pcap bytes reach the
// output (command replies still go to the command input, which may share its
// connection). A capture failure reaches the console through the run's result,
// a failed upload the host asked for as text on standard error.

#include <memory>

#include "fpga/EthernetPlimDecoder.h"
#include "fpga/UsbFpgaControllerBase.h"

class EthernetPlimController final : public UsbFpgaControllerBase<EthernetPlimController> {
public:
    static constexpr uint16_t kVid = 0x326F;
    static constexpr uint16_t kPid = 0x0003;
    static constexpr uint32_t kDefaultBaseIndex = 0x2000;

    enum Command : uint8_t { kCmdUploadFirmware = 29, kCmdStartCapture = 30, kCmdStopCapture = 31 };
    // One-byte device commands.
    static constexpr uint8_t kStartMonitor = 0x55;
    static constexpr uint8_t kStopMonitor = 0xAA;

    explicit EthernetPlimController(const Settings* settings);
    ~EthernetPlimController() override;

    std::span<const vek::Guid> getLogGuids() const override;
    bool processCommand(const uint8_t* message) override { return processCaptureCommand(message); }
    bool start(TransportBase* output, TransportBase* command) override;
    // Then the frames dropped in this session, if any, on standard error.
    void waitAndClose() override;
    // Stops the device and drains it, begins the output (a pcap global header),
    // drops a partial record, starts the monitor and, unless they run already,
    // the worker threads.
    bool startCapture() override;
    bool stopCapture() override { return stopDevice(kStopMonitor); }
    std::unique_ptr<FpgaUploaderEventSink> makeHostUploadSink(TransportBase* output);

protected:
    bool processData(UsbReadBlock* block) override;

private:
    std::unique_ptr<EthernetPlimDecoderBase> decoder;
    TransportBase* dataOutput = nullptr;  // what the frames go to; not owned
};
