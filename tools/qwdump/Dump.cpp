#include "Dump.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "DeviceFamily.h"
#include "FrameScanner.h"
#include "MessageTable.h"
#include "PcapOutput.h"
#include "Printer.h"
#include "foundation/Error.h"
#include "foundation/ErrorMgr.h"
#include "foundation/File.h"
#include "transport/QwlogReader.h"
#include "usb/UsbError.h"

namespace {

constexpr size_t kChunk = 65536;
constexpr auto kFollowPause = std::chrono::milliseconds(250);
constexpr char kUsage[] =
    "usage: qwdump [--device serial|serial-plim|serial-plim-pro|i2c|spi|ethernet] [--json] [--stats] [--follow] "
    "FILE... | -\n"
    "       qwdump [--device ...] --pcap OUT [--pcap-messages] FILE... | -\n";

struct Options {
    std::optional<DeviceFamily> family;
    PrintOptions print;
    bool follow = false;
    std::string pcap;  // the file to write instead of printing
    bool pcapMessages = false;
    std::vector<std::string> files;
};

class Dumper {
public:
    Dumper(const Options& options, std::FILE* out, std::FILE* err, PcapOutput* pcap)
        : options_(options), err_(err), printer_(out, options.print), pcap_(pcap) {}

    // False when the file cannot be read at all.
    bool dump(const std::string& name);
    void finish() { printer_.finish(); }
    // Before each of several files.
    void announce(const std::string& name) { printer_.file(name); }
    bool problems() const { return problems_; }
    // Log records with no message behind them, which a pcap file cannot hold.
    uint64_t unconverted() const { return unconverted_; }

private:
    bool dumpStream(const std::string& name, vek::io::Stream& in, std::vector<uint8_t> first, bool canFollow);
    bool dumpQwlog(const std::string& name, vek::io::Stream& in, std::vector<uint8_t> bytes, bool canFollow);
    void problem(const std::string& name, const std::string& text) {
        std::fprintf(err_, "qwdump: %s: %s\n", name.c_str(), text.c_str());
        problems_ = true;
    }
    // With --pcap: whether this capture may join the file.
    bool joinPcap(const std::string& name, DeviceFamily family);
    void recordToPcap(DeviceFamily family, const QwlogRecord& record);

    const Options& options_;
    std::FILE* err_;
    Printer printer_;
    PcapOutput* pcap_;  // null: print
    bool problems_ = false;
    uint64_t unconverted_ = 0;
};

bool Dumper::joinPcap(const std::string& name, DeviceFamily family) {
    if (!pcap_ || pcap_->start(family)) return true;
    problem(name, vek::sl::formatString("a capture of the %s cannot join one of the %s: left out",
                                        std::string(familyTitle(family)).c_str(),
                                        std::string(familyTitle(pcap_->family())).c_str()));
    return false;
}

// What the stream has now; 0 at its end (or, for a file that grows, for now).
size_t readSome(vek::io::Stream& in, std::vector<uint8_t>& into) {
    size_t old = into.size();
    into.resize(old + kChunk);
    size_t n = in.read(into.data() + old, kChunk);
    into.resize(old + (n == vek::io::kStreamFailed ? 0 : n));
    return n;
}

bool Dumper::dump(const std::string& name) {
    bool isStdin = name == "-";
    std::unique_ptr<vek::io::Stream> in = isStdin ? vek::io::duplicateStd(vek::io::StdStream::kInput)
                                                  : vek::io::openFile(name, vek::io::FileMode::kReadExisting);
    if (!in) {
        std::fprintf(err_, "qwdump: %s: %s\n", name.c_str(), vek::err::getLastErrorMessage().c_str());
        return false;
    }
    std::vector<uint8_t> first;
    while (first.size() < 4) {
        size_t n = readSome(*in, first);
        if (n == vek::io::kStreamFailed) break;
        if (n == 0 && (!options_.follow || isStdin)) break;
        if (n == 0) std::this_thread::sleep_for(kFollowPause);
    }
    bool canFollow = options_.follow && !isStdin;
    if (first.size() >= 4 && std::memcmp(first.data(), qwlog::kSignature, 4) == 0)
        return dumpQwlog(isStdin ? "standard input" : name, *in, std::move(first), canFollow);
    return dumpStream(isStdin ? "standard input" : name, *in, std::move(first), canFollow);
}

bool Dumper::dumpStream(const std::string& name, vek::io::Stream& in, std::vector<uint8_t> bytes, bool canFollow) {
    DeviceFamily family = options_.family.value_or(DeviceFamily::kUnknown);
    if (!options_.family)
        std::fprintf(err_, "qwdump: %s: no --device given: only the codes every device shares are named\n", name.c_str());
    if (!joinPcap(name, family)) return true;
    FrameScanner scanner({
        [&](uint64_t offset, uint8_t code, std::span<const uint8_t> payload) {
            // A message stream records no times.
            if (pcap_)
                pcap_->message(std::nullopt, code, payload);
            else
                printer_.message(offset, family, code, payload);
        },
        [&](uint64_t offset, uint64_t count) {
            problem(name, vek::sl::formatString("offset %llu: %llu bytes skipped, no message starts there",
                                                static_cast<unsigned long long>(offset),
                                                static_cast<unsigned long long>(count)));
        },
        [&](uint64_t offset, size_t have, size_t want) {
            problem(name, vek::sl::formatString("offset %llu: a message cut short (%zu of its %zu bytes)",
                                                static_cast<unsigned long long>(offset), have, want));
        },
    });
    for (;;) {
        scanner.feed(bytes);
        bytes.clear();
        size_t n = readSome(in, bytes);
        if (n == vek::io::kStreamFailed) {
            problem(name, vek::err::getLastErrorMessage());
            break;
        }
        if (n > 0) continue;
        if (!canFollow) break;
        std::this_thread::sleep_for(kFollowPause);
    }
    scanner.finish();
    return true;
}

bool Dumper::dumpQwlog(const std::string& name, vek::io::Stream& in, std::vector<uint8_t> bytes, bool canFollow) {
    size_t printed = 0;
    bool joined = false;
    for (;;) {
        while (true) {
            size_t n = readSome(in, bytes);
            if (n == 0 || n == vek::io::kStreamFailed) break;
        }
        QwlogReader reader(bytes);
        if (!reader.valid()) {
            // A header being written may not be whole yet; a finished file is not valid.
            if (!canFollow) return problem(name, "not a valid log record file"), true;
        } else {
            std::vector<vek::Guid> guids = reader.classGuids();
            std::vector<QwlogRecord> records = reader.records();
            std::vector<uint64_t> codes;
            for (const QwlogRecord& r : records) codes.push_back(r.code);
            DeviceFamily family = options_.family.value_or(familyOfLog(guids, codes).value_or(DeviceFamily::kUnknown));
            if (!joined && !joinPcap(name, family)) return true;
            joined = true;
            for (size_t i = printed; i < records.size(); ++i) {
                if (pcap_)
                    recordToPcap(family, records[i]);
                else
                    printer_.record(records[i].timestamp, family, records[i].code, records[i].data);
            }
            printed = std::max(printed, records.size());
            if (reader.malformed())
                problem(name, vek::sl::formatString("record %zu is malformed: the rest is not read", records.size() + 1));
        }
        if (!canFollow) return true;
        std::this_thread::sleep_for(kFollowPause);
    }
}

void Dumper::recordToPcap(DeviceFamily family, const QwlogRecord& record) {
    std::optional<uint8_t> code = messageOfRecord(family, record.code);
    if (!code) {
        ++unconverted_;
        return;
    }
    // A status record is {value, changed bits}; its message carried the value.
    std::span<const uint8_t> payload = record.data;
    if (isStatusRecord(record.code)) payload = payload.first(std::min<size_t>(4, payload.size()));
    pcap_->message(record.timestamp, *code, payload);
}

bool parse(const std::vector<std::string>& args, Options& options, std::FILE* err) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") {
            options.print.json = true;
        } else if (a == "--stats") {
            options.print.stats = true;
        } else if (a == "--follow") {
            options.follow = true;
        } else if (a == "--pcap" || a.rfind("--pcap=", 0) == 0) {
            options.pcap = a == "--pcap" ? (i + 1 < args.size() ? args[++i] : "") : a.substr(7);
            if (options.pcap.empty()) return std::fprintf(err, "qwdump: --pcap needs a file name\n%s", kUsage), false;
        } else if (a == "--pcap-messages") {
            options.pcapMessages = true;
        } else if (a == "--device" || a.rfind("--device=", 0) == 0) {
            std::string name = a == "--device" ? (i + 1 < args.size() ? args[++i] : "") : a.substr(9);
            options.family = familyFromName(name);
            if (!options.family) return std::fprintf(err, "qwdump: unknown device \"%s\"\n%s", name.c_str(), kUsage), false;
        } else if (a == "-h" || a == "--help") {
            return std::fputs(kUsage, err), false;
        } else if (a.size() > 1 && a[0] == '-') {
            return std::fprintf(err, "qwdump: unknown switch %s\n%s", a.c_str(), kUsage), false;
        } else {
            options.files.push_back(a);
        }
    }
    if (options.files.empty()) return std::fputs(kUsage, err), false;
    if (!options.pcap.empty() && (options.print.json || options.print.stats || options.follow))
        return std::fprintf(err, "qwdump: --pcap writes a file: --json, --stats and --follow do not go with it\n"), false;
    if (options.pcapMessages && options.pcap.empty())
        return std::fprintf(err, "qwdump: --pcap-messages goes with --pcap\n%s", kUsage), false;
    return true;
}

}  // namespace

int runQwdump(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    // Error records in captures are described with the program's own texts.
    vek::err::getErrorMgr().registerProvider(vek::err::kUsbDomain, &vek::io::usbErrorProvider());
    Options options;
    if (!parse(args, options, err)) return 2;
    std::unique_ptr<PcapOutput> pcap;
    if (!options.pcap.empty()) {
        pcap = std::make_unique<PcapOutput>(
            options.pcap, options.pcapMessages ? PcapConverter::Form::kMessages : PcapConverter::Form::kNative);
        if (!pcap->open()) {
            std::fprintf(err, "qwdump: %s: %s\n", options.pcap.c_str(), vek::err::getLastErrorMessage().c_str());
            return 2;
        }
    }
    Dumper dumper(options, out, err, pcap.get());
    bool readable = true;
    for (const std::string& name : options.files) {
        if (options.files.size() > 1 && !pcap) dumper.announce(name);
        readable = dumper.dump(name) && readable;
    }
    dumper.finish();
    if (pcap) {
        if (!pcap->flush(true)) {
            std::fprintf(err, "qwdump: %s: %s\n", options.pcap.c_str(), vek::err::getLastErrorMessage().c_str());
            return 2;
        }
        uint64_t leftOut = pcap->leftOut() + dumper.unconverted();
        if (leftOut > 0)
            std::fprintf(err, "qwdump: %s: %llu messages left out: link type %s has no place for them\n", options.pcap.c_str(),
                         static_cast<unsigned long long>(leftOut), pcap->linkName());
    }
    return !readable ? 2 : dumper.problems() ? 1 : 0;
}
