#pragma once
// The FPGA-based Plim devices (I2C/SPI Plim 16d0:0e27, Ethernet Plim 326f:0003,
// Serial Plim Pro 326f:0005): a configuration uploader over vendor requests
// 0x50-0x54 that writes a flash image, and a capture stream on bulk IN 0x86 that
// flows only while one-byte commands on bulk OUT 0x02 have switched capture on.
// What the stream carries comes from the core's data statements (as for the
// generic model's IN endpoints). The Serial Plim Pro switches its capture by a
// register instead and has statements of its own (FpgaSerialPro.h), as has the
// Ethernet Plim for its frames (FpgaEthernet.h). README.md lists the statements.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FpgaSerialPro.h"
#include "GenericModel.h"
#include "qwsim/DeviceModel.h"

namespace qwsim {

class FpgaModel : public DeviceModel {
public:
    static constexpr uint8_t kDataEndpoint = 0x86;
    static constexpr uint8_t kCommandEndpoint = 0x02;

    FpgaModel();

    void setIdentity(uint16_t vid, uint16_t pid) override;
    std::string configure(const Statement& st, int endpoint) override;
    std::vector<EndpointInfo> endpoints() const override;
    int control(const ControlSetup& setup, uint8_t* data, SimTime now) override;
    InData readIn(uint8_t endpoint, uint8_t* buffer, size_t room, SimTime now) override;
    void readRequested(uint8_t endpoint, SimTime now) override;
    int writeOut(uint8_t endpoint, const uint8_t* data, size_t length, SimTime now) override;
    void opened() override;
    void closed() override;

protected:
    // For models of devices that switch the capture another way.
    void setCapture(bool on) { capture_ = on; }
    bool capturing() const { return capture_; }

private:
    // Where an error the scenario asks for shows up in the status word.
    enum class Step { Open, Erase, Block, Start };
    struct StatusError {
        Step step;
        uint64_t block;  // 1-based, counted from the last erase; for Step::Block
        uint16_t bits;
    };

    std::string configureError(const Statement& st);
    std::string configureFlash(const Statement& st);
    std::string configureCapture(const Statement& st);
    // After a step: busy for the next `busy` polls, and the errors set for it.
    void stepDone(Step step, uint64_t block = 0);
    int writeBlock(const ControlSetup& setup, const uint8_t* data);
    int statusReply(uint8_t* data);
    // Stalls the request, recording why.
    static int refuse(const ControlSetup& setup, const std::string& why);

    GenericModel stream_;  // the bytes IN 0x86 delivers while capturing
    size_t flashSize_ = size_t{512} << 10;
    uint8_t flashFill_ = 0x00;  // unerased: only an erase makes writes land as sent
    std::vector<uint8_t> flash_;
    uint8_t version_[4] = {1, 0, 0, 0};
    uint64_t busyPolls_ = 0;  // per step
    uint64_t busyLeft_ = 0;
    uint16_t errorBits_ = 0;  // shown until the next erase
    std::vector<StatusError> errors_;
    uint64_t blocksWritten_ = 0;  // since the last erase
    std::string dumpPath_;
    std::vector<uint8_t> captureOn_ = {0x55, 0x70, 0x71, 0x72, 0x73, 0x80, 0x81, 0x82, 0x83};
    std::vector<uint8_t> captureOff_ = {0xAA};
    bool capture_ = false;
    std::unique_ptr<FpgaSerialPro> serialPro_;  // the Serial Plim Pro's registers and stream statements
};

}  // namespace qwsim
