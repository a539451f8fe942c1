#pragma once
// Where an FPGA firmware upload reports to. The uploader calls the sink on its own
// thread: onProgress after every block, then exactly one of onError (the failure
// is the calling thread's last error) or onCompleted, unless the upload is stopped
// first (then none).

#include <cstdint>
#include <cstdio>

#include "transport/TransportBase.h"

class FpgaUploaderEventSink {
public:
    virtual ~FpgaUploaderEventSink() = default;
    virtual void onProgress(uint32_t percent) = 0;
    virtual void onError() = 0;
    virtual void onCompleted() = 0;
};

// An upload the host asked for: progress (0x1A), failure (0x20) and completion
// (0x00) go to the host as messages. Write failures are ignored; the message lock
// keeps them whole beside the capture's messages.
class FpgaUploaderTransportEventSink final : public FpgaUploaderEventSink {
public:
    static constexpr uint8_t kMsgUploadProgress = 0x1A;

    explicit FpgaUploaderTransportEventSink(TransportBase* transport) : transport_(transport) {}
    void onProgress(uint32_t percent) override;
    void onError() override;
    void onCompleted() override;

private:
    TransportBase* transport_;  // not owned
};

// An upload the host asked for while the output carries no messages (a pcap
// stream): a failure goes to the console as text at once; progress and
// completion are there already, in the uploader's own texts.
class FpgaUploaderConsoleEventSink final : public FpgaUploaderEventSink {
public:
    explicit FpgaUploaderConsoleEventSink(std::FILE* console) : console_(console) {}
    void onProgress(uint32_t) override {}
    void onError() override;
    void onCompleted() override {}

private:
    std::FILE* console_;
};

// An upload-only run: the upload's end, either way, ends the controller's run.
// `Controller` offers endUploadOnlyRun(bool failed), which records a failure as
// the run's result (so the program does not report it as success) and stops.
template <typename Controller>
class FpgaUploaderStopControllerEventSink final : public FpgaUploaderEventSink {
public:
    explicit FpgaUploaderStopControllerEventSink(Controller* controller) : controller_(controller) {}
    void onProgress(uint32_t) override {}
    void onError() override { controller_->endUploadOnlyRun(true); }
    void onCompleted() override { controller_->endUploadOnlyRun(false); }

private:
    Controller* controller_;  // not owned
};
