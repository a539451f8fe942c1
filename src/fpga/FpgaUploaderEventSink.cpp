#include "fpga/FpgaUploaderEventSink.h"

#include "foundation/Error.h"
#include "session/Message.h"

void FpgaUploaderTransportEventSink::onProgress(uint32_t percent) {
    const uint8_t payload = static_cast<uint8_t>(percent);
    writeMessage(*transport_, kMsgUploadProgress, &payload, 1);
}

void FpgaUploaderTransportEventSink::onError() { writeErrorMessage(*transport_); }

void FpgaUploaderTransportEventSink::onCompleted() { writeMessage(*transport_, kMsgDone, nullptr, 0); }

void FpgaUploaderConsoleEventSink::onError() {
    // In the uploader's own words; the run's end reports it as its error.
    std::fprintf(console_, "Upload failed: %s\n", vek::err::getLastErrorDescription().c_str());
}
