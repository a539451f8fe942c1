#include "Extcap.h"

#include <atomic>
#include <thread>

#include <cstdlib>
#include <map>
#include <memory>

#include "FifoWatch.h"
#include "app/ControllerFactory.h"
#include "foundation/Error.h"
#include "foundation/File.h"
#include "foundation/Interrupt.h"
#include "transport/FileTransport.h"
#include "usb/UsbDeviceList.h"
#include "usb/UsbStartup.h"

namespace {

constexpr const char* kInterfacePrefix = "qwethernet";
constexpr uint16_t kEthernetPlimVid = 0x326F;
constexpr uint16_t kEthernetPlimPid = 0x0003;

// --name value or --name=value; flags map to "".
std::map<std::string, std::string> parse(const std::vector<std::string>& args) {
    static const char* const kWithValue[] = {"--extcap-interface", "--fifo", "--index", "--firmware",
                                             "--extcap-version", "--extcap-capture-filter"};
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

// "qwethernet3" -> 3; -1 for a name that is not ours.
long interfaceIndex(const std::string& name) {
    std::string prefix = kInterfacePrefix;
    if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size()) return -1;
    char* end = nullptr;
    long index = std::strtol(name.c_str() + prefix.size(), &end, 10);
    return *end == '\0' && index >= 0 ? index : -1;
}

int fail(std::FILE* err) {
    std::fprintf(err, "error: %s\n", vek::err::getLastErrorMessage().c_str());
    return 1;
}

int listInterfaces(std::FILE* out, std::FILE* err) {
    std::fprintf(out, "extcap {version=%d.%d.%d}\n", QW_VERSION_MAJOR, QW_VERSION_MINOR, QW_VERSION_PATCH);
    vek::io::UsbDeviceList plims;
    if (!plims.load(kEthernetPlimVid, kEthernetPlimPid)) return fail(err);
    for (size_t i = 0; i < plims.devices().size(); ++i)
        std::fprintf(out, "interface {value=%s%lld}{display=Quenwick Ethernet Plim #%lld}\n", kInterfacePrefix,
                     static_cast<long long>(i), static_cast<long long>(i));
    return 0;
}

int capture(const std::map<std::string, std::string>& options, long index, std::FILE* err) {
    Settings s;
    s.hardwareKind = kHardwareEthernetPlim;
    s.transportKind = kTransportOutputOnly;
    s.flags = kFlagPcap;
    s.deviceIndex = options.count("--index") ? std::strtoull(options.at("--index").c_str(), nullptr, 10)
                                             : static_cast<uint64_t>(index);
    FileTransport fifo;
    // Write-only: when Wireshark closes its end, our next write fails and the capture ends.
    if (!fifo.open(options.at("--fifo"), vek::io::FileMode::kOutputWriteOnly)) return fail(err);
    if (auto firmware = options.find("--firmware"); firmware != options.end() && !firmware->second.empty()) {
        Settings upload = s;
        upload.firmwareFileName = firmware->second;
        upload.flags |= kFlagFirmwareUploadOnly;
        std::unique_ptr<ControllerBase> uploader = createController(upload);
        if (!uploader || !uploader->run(&fifo, nullptr)) return fail(err);
    }
    std::unique_ptr<ControllerBase> controller = createController(s);
    if (!controller) return fail(err);
    // Wireshark's stop is a signal, or its closing the fifo: the capture ends
    // as its input ending would.
    vek::sys::InterruptScope stop([&controller] { controller->stop(); });
    std::atomic<bool> watching{true};
    std::thread watch([&] {
        if (waitForReaderGone(options.at("--fifo"), watching)) controller->stop();
    });
    bool ok = controller->run(&fifo, nullptr);
    // Wireshark stops a capture both ways at once. A signal taken after the
    // capture has ended must not turn its result into an exit by signal.
    vek::sys::markProgramEnding();
    watching = false;
    watch.join();
    // Wireshark closing the fifo is how a capture usually ends.
    return ok || fifo.peerGone() ? 0 : fail(err);
}

}  // namespace

int runExtcap(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    vek::io::startUsbLayer();
    std::map<std::string, std::string> options = parse(args);
    if (options.count("--extcap-interfaces")) return listInterfaces(out, err);
    long index = interfaceIndex(options.count("--extcap-interface") ? options["--extcap-interface"] : "");
    if (index < 0) {
        std::fprintf(err, "error: no Ethernet Plim interface named (--extcap-interface %s<n>)\n", kInterfacePrefix);
        return 1;
    }
    if (options.count("--extcap-dlts")) {
        std::fprintf(out, "dlt {number=1}{name=EN10MB}{display=Ethernet}\n");
        return 0;
    }
    if (options.count("--extcap-config")) {
        std::fprintf(out,
                     "arg {number=0}{call=--index}{display=Device index}{type=unsigned}{default=%ld}"
                     "{tooltip=Which attached Ethernet Plim, counting from 0}\n"
                     "arg {number=1}{call=--firmware}{display=FPGA firmware}{type=fileselect}{mustexist=true}"
                     "{tooltip=An *.rpd file uploaded before the capture starts}\n",
                     index);
        return 0;
    }
    if (options.count("--capture") && options.count("--fifo")) return capture(options, index, err);
    std::fprintf(err, "error: nothing to do: --extcap-interfaces, --extcap-dlts, --extcap-config or --capture --fifo\n");
    return 1;
}
