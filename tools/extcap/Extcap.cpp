#include "Extcap.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>

#include "FifoWatch.h"
#include "Interfaces.h"
#include "PcapTransport.h"
#include "ScriptedCommands.h"
#include "app/CmdLineParser.h"
#include "app/ControllerFactory.h"
#include "foundation/Error.h"
#include "foundation/File.h"
#include "foundation/Interrupt.h"
#include "fpga/SerialPlimPro.h"
#include "session/Message.h"
#include "transport/FileTransport.h"
#include "usb/UsbDeviceList.h"
#include "usb/UsbStartup.h"

namespace {

// --name value or --name=value; flags map to "".
std::map<std::string, std::string> parse(const std::vector<std::string>& args) {
    static const char* const kWithValue[] = {
        "--extcap-interface", "--fifo",      "--index",     "--firmware", "--extcap-version", "--extcap-capture-filter",
        "--baud",             "--data-bits", "--stop-bits", "--parity",   "--dtr",            "--rts",
        "--spi-mode",         "--spi-data",
    };
    std::map<std::string, std::string> options;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        if (size_t eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        } else {
            for (const char* v : kWithValue)
                if (name == v && i + 1 < args.size()) value = args[++i];
        }
        options[name] = value;
    }
    return options;
}

int fail(std::FILE* err) {
    std::fprintf(err, "error: %s\n", vek::err::getLastErrorMessage().c_str());
    return 1;
}

int listInterfaces(std::FILE* out, std::FILE* err) {
    std::fprintf(out, "extcap {version=%d.%d.%d}\n", QW_VERSION_MAJOR, QW_VERSION_MINOR, QW_VERSION_PATCH);
    for (const ExtcapInterface& iface : extcapInterfaces()) {
        vek::io::UsbDeviceList devices;
        if (!devices.load(iface.vid, iface.pid)) return fail(err);
        for (size_t i = 0; i < devices.devices().size(); ++i)
            std::fprintf(out, "interface {value=%s%zu}{display=%s #%zu%s}\n", iface.prefix, i, iface.title, i, iface.mode);
    }
    return 0;
}

// The Serial Plim Pro's raw packets carry the device's time stamps: the
// capture starts suspended, and the commands a host would send switch the
// decoder to them and then start it, so no packet is decoded the other way.
std::vector<uint8_t> startCommands(const ExtcapInterface& iface, const std::map<std::string, std::string>& options) {
    if (iface.family != DeviceFamily::kSerialPlimPro || !options.count("--device-time")) return {};
    return {kMessageKind, serialpro::kCmdDecoderMode, 1, 0, 1, kMessageKind, serialpro::kCmdStartCapture, 0, 0};
}

int capture(const ExtcapInterface& iface, long index, const std::map<std::string, std::string>& options, std::FILE* err) {
    Settings s;
    if (!parseCommandLine(commandLine(iface, index, options), s)) return fail(err);
    s.transportKind = kTransportOutputOnly;
    s.flags &= ~uint32_t{kFlagStdout};
    FileTransport fifo;
    // Write-only: when Wireshark closes its end, our next write fails and the capture ends.
    if (!fifo.open(options.at("--fifo"), vek::io::FileMode::kOutputWriteOnly)) return fail(err);

    // The Ethernet Plim writes pcap itself; the others' messages are converted.
    std::unique_ptr<PcapTransport> converted;
    TransportBase* output = &fifo;
    if (iface.family == DeviceFamily::kEthernet) {
        s.flags |= kFlagPcap;
    } else {
        bool everything = options.count("--i2c-messages") != 0;
        converted = std::make_unique<PcapTransport>(
            fifo, iface.family, everything ? PcapConverter::Form::kMessages : PcapConverter::Form::kNative);
        if (!converted->begin()) return fifo.peerGone() ? 0 : fail(err);
        output = converted.get();
    }

    if (auto firmware = options.find("--firmware"); iface.fpga && firmware != options.end() && !firmware->second.empty()) {
        Settings upload = s;
        upload.firmwareFileName = firmware->second;
        upload.flags |= kFlagFirmwareUploadOnly;
        std::unique_ptr<ControllerBase> uploader = createController(upload);
        if (!uploader || !uploader->run(output, nullptr)) return fail(err);
    }
    std::unique_ptr<ControllerBase> controller = createController(s);
    if (!controller) return fail(err);
    std::unique_ptr<ScriptedCommands> commands;
    if (std::vector<uint8_t> script = startCommands(iface, options); !script.empty()) {
        commands = std::make_unique<ScriptedCommands>(std::move(script));
        s.flags |= kFlagSuspend;
    }
    // Wireshark's stop is a signal, or its closing the fifo: the capture ends
    // as its input ending would.
    auto stop = [&] {
        controller->stop();
        if (commands) commands->close();
    };
    vek::sys::InterruptScope interrupt(stop);
    std::atomic<bool> watching{true};
    std::thread watch([&] {
        if (waitForReaderGone(options.at("--fifo"), watching)) stop();
    });
    bool ok = controller->run(output, commands.get());
    // Wireshark stops a capture both ways at once. A signal taken after the
    // capture has ended must not turn its result into an exit by signal.
    vek::sys::markProgramEnding();
    watching = false;
    watch.join();
    if (converted && !converted->finish()) ok = false;
    // Wireshark closing the fifo is how a capture usually ends.
    return ok || fifo.peerGone() ? 0 : fail(err);
}

}  // namespace

int runExtcap(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    vek::io::startUsbLayer();
    std::map<std::string, std::string> options = parse(args);
    if (options.count("--extcap-interfaces")) return listInterfaces(out, err);
    long index = -1;
    const ExtcapInterface* iface =
        findInterface(options.count("--extcap-interface") ? options["--extcap-interface"] : "", &index);
    if (!iface) {
        std::fprintf(err, "error: no Quenwick interface named (--extcap-interface qwethernet0, qwi2c0, ...)\n");
        return 1;
    }
    if (options.count("--extcap-dlts")) return std::fputs(dltLines(*iface).c_str(), out), 0;
    if (options.count("--extcap-config")) return std::fputs(configLines(*iface, index).c_str(), out), 0;
    if (options.count("--capture") && options.count("--fifo")) return capture(*iface, index, options, err);
    std::fprintf(err, "error: nothing to do: --extcap-interfaces, --extcap-dlts, --extcap-config or --capture --fifo\n");
    return 1;
}
