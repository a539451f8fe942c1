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
    std::fprintf(console_, "error: firmware upload failed: %s\n", vek::err::getLastErrorMessage().c_str());
}
