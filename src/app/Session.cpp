#include "app/Session.h"

#include <cstdio>

#include "app/ControllerFactory.h"
#include "foundation/Error.h"
#include "foundation/Interrupt.h"
#include "session/Message.h"
#include "transport/FileTransport.h"
#include "transport/QwlogTransport.h"

namespace {

using vek::io::FileMode;
using vek::io::StdStream;

bool runSingleFile(const Settings& s, ControllerBase& controller) {
    // One handle both ways: commands are read from the file, output written into it.
    FileTransport file;
    if (!file.open(s.inputFileName, FileMode::kReadWrite)) return false;
    bool ok = controller.run(&file, &file);
    file.close();
    return ok;
}

bool runQwlog(const Settings& s, ControllerBase& controller) {
    QwlogTransport log;
    if (!log.open(s.outputFileName, s.outputSplit.sizeLimit, s.outputSplit.timeLimit, controller.getLogGuids()))
        return false;
    bool ok = controller.run(&log, nullptr);
    log.close();
    return ok;
}

bool runOutputOnly(const Settings& s, ControllerBase& controller) {
    if (s.has(kFlagQwlog)) return runQwlog(s, controller);
    FileTransport output;
    bool opened = s.has(kFlagStdout) ? output.attachStd(StdStream::kOutput)
                                     : output.openSplitOutput(s.outputFileName, s.outputSplit.sizeLimit,
                                                              s.outputSplit.timeLimit);
    if (!opened) return false;
    bool ok = controller.run(&output, nullptr);
    output.close();
    return ok;
}

bool runOutputInput(const Settings& s, ControllerBase& controller) {
    FileTransport output;
    bool opened = s.has(kFlagStdout) ? output.attachStd(StdStream::kOutput)
                                     : output.open(s.outputFileName, FileMode::kOutputWriteOnly);
    if (!opened) return false;
    FileTransport input;
    opened = s.has(kFlagStdin) ? input.attachStd(StdStream::kInput)
                               : input.open(s.inputFileName, FileMode::kReadExisting);
    bool ok = opened && controller.run(&output, &input);
    input.close();
    output.close();
    return ok;
}

// A client session that failed, not because the client left: the client hears
// why (a start that failed has sent nothing yet), and so does the console; the
// server goes on, the device may come back.
void reportFailedSession(ControllerBase& controller, TransportBase& client) {
    // Ended by Ctrl-C: how the connection went down on the way is no news.
    if (vek::sys::interrupted()) return;
    if (controller.startFailed()) writeErrorMessage(client);
    std::fprintf(stderr, "error: %s\n", vek::err::getLastErrorMessage().c_str());
}

template <typename Server, typename Address>
bool runServer(Server& server, const Address& address, ControllerBase& controller,
               const std::function<void(StreamServer&)>& onListening) {
    if (!server.open(address)) return false;
    // Ctrl-C: the session under way ends as if its client had gone, and no
    // other client is taken.
    vek::sys::InterruptScope interrupt([&] {
        server.stop();
        controller.stop();
    });
    if (onListening) onListening(server);
    // The server reuses the one controller for every client.
    return server.serve([&controller](TransportBase& client) {
        bool ok = controller.run(&client, &client);
        if (!ok && !client.peerGone()) reportFailedSession(controller, client);
        return ok;
    });
}

}  // namespace

bool runSessionWith(const Settings& settings, ControllerBase& controller,
                    const std::function<void(StreamServer&)>& onListening) {
    // Ctrl-C ends the capture as the end of its input would: the capture
    // threads stop (and in ending close the command input), files are closed
    // normally, and the run reports how the capture went.
    vek::sys::InterruptScope interrupt([&controller] { controller.stop(); });
    switch (settings.transportKind) {
        case kTransportSingleFile:
            return runSingleFile(settings, controller);
        case kTransportOutputOnly:
            return runOutputOnly(settings, controller);
        case kTransportOutputInput:
            return runOutputInput(settings, controller);
        case kTransportTcpServer: {
            TcpServer server;
            return runServer(server, settings.tcpPort, controller, onListening);
        }
        case kTransportPipeServer: {
            PipeServer server;
            return runServer(server, settings.inputFileName, controller, onListening);
        }
        default:
            vek::err::setStringError("unknown transport");
            return false;
    }
}

bool runSession(const Settings& settings) {
    std::unique_ptr<ControllerBase> controller = createController(settings);
    if (!controller) return false;
    return runSessionWith(settings, *controller);
}
