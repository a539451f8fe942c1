// The scenario parser: one statement per line, words separated by blanks, "quoted"
// words may hold blanks, # starts a comment. Statements apply to the bus, to the
// last `device`, or to its last `endpoint`.
#include "Scenario.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qwsim {

namespace {

// Splits one line; false on an unterminated quote. Quoted parts of a word may
// hold blanks and #; inside them \" and \\ are escapes, other backslashes stay
// (Windows paths).
bool splitWords(std::string_view line, std::vector<std::string>* words) {
    std::string word;
    bool inWord = false, quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else {
                if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) c = line[++i];
                word += c;
            }
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '#') {
            if (inWord) words->push_back(std::move(word));
            word.clear();
            inWord = false;
            if (c == '#') return true;
        } else {
            inWord = true;
            if (c == '"')
                quoted = true;
            else
                word += c;
        }
    }
    if (quoted) return false;
    if (inWord) words->push_back(std::move(word));
    return true;
}

class Parser {
public:
    Parser(std::vector<std::unique_ptr<SimDevice>>* devices, Settings* settings) : devices_(devices), s_(settings) {}

    // Empty when taken, else the complaint.
    std::string statement(const Statement& st);
    std::string finishDevice();

private:
    std::string global(const Statement& st, bool* taken);
    std::string deviceLine(const Statement& st);
    std::string deviceLevel(const Statement& st, bool* taken);
    std::string endpointLine(const Statement& st);
    std::string endpointLevel(const Statement& st, bool* taken);

    std::vector<std::unique_ptr<SimDevice>>* devices_;
    Settings* s_;
    SimDevice* device_ = nullptr;
    EndpointState* endpoint_ = nullptr;
};

std::string Parser::statement(const Statement& st) {
    bool taken = false;
    std::string problem = global(st, &taken);
    if (taken) return problem;
    if (!device_) return "'" + st.words[0] + "' outside a device";
    problem = deviceLevel(st, &taken);
    if (taken) return problem;
    problem = endpointLevel(st, &taken);
    if (taken) return problem;
    return device_->model->configure(st, endpoint_ ? endpoint_->info.address : -1);
}

std::string Parser::global(const Statement& st, bool* taken) {
    const std::string& k = st.words[0];
    const std::string second = st.words.size() > 1 ? st.words[1] : "";
    *taken = true;
    if (k == "device") {
        if (std::string p = finishDevice(); !p.empty()) return p;
        return deviceLine(st);
    }
    if (k == "record") {
        if (st.words.size() != 2) return "expected 'record FILE'";
        s_->recordPath = st.words[1] == "-" ? "-" : scenarioPath(st, st.words[1]);
        return {};
    }
    if (k == "trace") {
        if (st.words.size() != 2 || second != "events") return "expected 'trace events'";
        s_->traceEvents = true;
        return {};
    }
    if (k == "speed") {
        char* end = nullptr;
        double v = st.words.size() == 2 ? std::strtod(st.words[1].c_str(), &end) : 0;
        if (!end || *end || !(v > 0) || v > 1e6) return "expected 'speed FACTOR' with a factor above 0";
        s_->speed = v;
        return {};
    }
    if (k == "fail" && second == "alloc") {
        if (st.words.size() != 3 || !parseNumber(st.words[2], &s_->failAllocNth) || s_->failAllocNth == 0)
            return "expected 'fail alloc N' with N from 1";
        return {};
    }
    if (k == "fail" && second == "init") {
        if (st.words.size() != 3 || !parseErrorCode(st.words[2], &s_->initError)) return "expected 'fail init ERROR'";
        return {};
    }
    if (k == "strict") {
        if (st.words.size() != 1) return "expected 'strict'";
        s_->strict = true;
        return {};
    }
    if (k == "fail" && second == "list") {
        if (st.words.size() != 3 || !parseErrorCode(st.words[2], &s_->listError)) return "expected 'fail list ERROR'";
        return {};
    }
    *taken = false;
    return {};
}

std::string Parser::deviceLine(const Statement& st) {
    uint64_t vid = 0, pid = 0;
    std::string ids = st.words.size() > 1 ? st.words[1] : "";
    size_t colon = ids.find(':');
    if (colon == std::string::npos || !parseNumber("0x" + ids.substr(0, colon), &vid) ||
        !parseNumber("0x" + ids.substr(colon + 1), &pid) || vid > 0xFFFF || pid > 0xFFFF)
        return "expected 'device VID:PID' in hex, e.g. 'device 16d0:0f3b'";
    auto d = std::make_unique<SimDevice>();
    d->vid = static_cast<uint16_t>(vid);
    d->pid = static_cast<uint16_t>(pid);
    d->name = "dev" + std::to_string(devices_->size());
    std::string model = "generic";
    for (size_t i = 2; i < st.words.size(); ++i) {
        const std::string& w = st.words[i];
        size_t eq = w.find('=');
        std::string key = w.substr(0, eq), value = eq == std::string::npos ? "" : w.substr(eq + 1);
        if (key == "serial" && eq != std::string::npos)
            d->serial = value;
        else if (key == "name" && !value.empty())
            d->name = value;
        else if (key == "model" && !value.empty())
            model = value;
        else
            return "unknown device option '" + w + "'";
    }
    d->model = createModel(model);
    if (!d->model) return "unknown model '" + model + "'";
    d->model->setIdentity(d->vid, d->pid);
    device_ = d.get();
    endpoint_ = nullptr;
    devices_->push_back(std::move(d));
    return {};
}

std::string Parser::deviceLevel(const Statement& st, bool* taken) {
    const std::string& k = st.words[0];
    const std::string second = st.words.size() > 1 ? st.words[1] : "";
    *taken = true;
    if (k == "endpoint") return endpointLine(st);
    if (k == "descriptor") {
        if (second != "unreadable" || st.words.size() > 3) return "expected 'descriptor unreadable [ERROR]'";
        device_->descriptorError = LIBUSB_ERROR_IO;
        if (st.words.size() == 3 && !parseErrorCode(st.words[2], &device_->descriptorError)) return "bad error code";
        return {};
    }
    if (k == "fail" && (second == "open" || second == "claim")) {
        int* code = second == "open" ? &device_->openError : &device_->claimError;
        if (st.words.size() != 3 || !parseErrorCode(st.words[2], code)) return "expected 'fail " + second + " ERROR'";
        return {};
    }
    if (k == "fail" && second == "control") {
        ControlFault f;
        uint64_t type = 0, request = 0;
        if (st.words.size() < 5 || !parseNumber(st.words[2], &type) || type > 0xFF ||
            !parseNumber(st.words[3], &request) || request > 0xFF || !parseErrorCode(st.words[4], &f.error))
            return "expected 'fail control TYPE REQUEST ERROR [nth=N]'";
        auto nth = option(st, "nth", 5);
        if (nth && (!parseNumber(*nth, &f.nth) || f.nth == 0)) return "bad nth";
        if (st.words.size() > (nth ? 6u : 5u)) return "unexpected words after 'fail control'";
        f.requestType = static_cast<uint8_t>(type);
        f.request = static_cast<uint8_t>(request);
        device_->controlFaults.push_back(f);
        return {};
    }
    if (k == "disconnect") {
        uint64_t n = 0;
        if (st.words.size() != 4 || second != "after" || !parseNumber(st.words[2], &n) || n == 0 ||
            (st.words[3] != "transfers" && st.words[3] != "bytes"))
            return "expected 'disconnect after N transfers|bytes'";
        (st.words[3] == "bytes" ? device_->disconnectAfterBytes : device_->disconnectAfterTransfers) = n;
        return {};
    }
    *taken = false;
    return {};
}

std::string Parser::endpointLine(const Statement& st) {
    uint64_t address = 0;
    if (st.words.size() < 2 || !parseNumber(st.words[1], &address) || address > 0xFF || (address & 0x7F) == 0)
        return "expected 'endpoint ADDRESS [bulk|interrupt] [maxpacket=N]' with an address other than 0";
    EndpointInfo info;
    info.address = static_cast<uint8_t>(address);
    bool typed = false;
    for (size_t i = 2; i < st.words.size(); ++i) {
        const std::string& w = st.words[i];
        uint64_t size = 0;
        if (w == "bulk" || w == "interrupt") {
            info.type = w == "bulk" ? kBulk : kInterrupt;
            typed = true;
        } else if (w.rfind("maxpacket=", 0) == 0 && parseNumber(w.substr(10), &size) && size > 0 && size <= 0xFFFF) {
            info.maxPacketSize = static_cast<uint16_t>(size);
        } else {
            return "unknown endpoint option '" + w + "'";
        }
    }
    for (auto& ep : device_->endpoints)
        if (ep->info.address == info.address) return "endpoint " + hex8(info.address) + " appears twice";
    bool modelHasIt = false;
    for (const EndpointInfo& e : device_->model->endpoints())
        if (e.address == info.address) {
            modelHasIt = true;
            if (typed && e.type != info.type) return "endpoint " + hex8(info.address) + " has another type";
            info = e;
        }
    if (!modelHasIt)
        if (std::string p = device_->model->addEndpoint(info); !p.empty()) return p;
    auto ep = std::make_unique<EndpointState>();
    ep->info = info;
    endpoint_ = ep.get();
    device_->endpoints.push_back(std::move(ep));
    return {};
}

std::string Parser::endpointLevel(const Statement& st, bool* taken) {
    const std::string& k = st.words[0];
    const std::string second = st.words.size() > 1 ? st.words[1] : "";
    bool mine = k == "status" || k == "hold" || k == "order" || (k == "fail" && second == "submit");
    *taken = mine;
    if (!mine) return {};
    if (!endpoint_) return "'" + k + "' needs an endpoint line before it";
    if (k == "status") {
        uint64_t n = 0;
        int status = 0;
        if (st.words.size() != 3 || !parseNumber(st.words[1], &n) || n == 0 || !parseStatus(st.words[2], &status))
            return "expected 'status N STATUS' with N from 1";
        endpoint_->statusFaults.emplace_back(n, status);
        return {};
    }
    if (k == "hold") {
        uint64_t n = 0;
        if (st.words.size() != 2 || !parseNumber(st.words[1], &n) || n == 0) return "expected 'hold N' with N from 1";
        endpoint_->heldTransfers.push_back(n);
        return {};
    }
    if (k == "order") {
        std::vector<int> order;
        for (size_t i = 1; i < st.words.size(); ++i) {
            uint64_t p = 0;
            if (!parseNumber(st.words[i], &p) || p == 0 || p > 64) return "bad position '" + st.words[i] + "'";
            order.push_back(static_cast<int>(p));
        }
        std::vector<int> sorted = order;
        std::sort(sorted.begin(), sorted.end());
        for (size_t i = 0; i < sorted.size(); ++i)
            if (sorted[i] != static_cast<int>(i + 1)) return "'order' needs each of 1..N once";
        if (order.empty()) return "expected 'order P1 P2 ...'";
        endpoint_->order = order;
        return {};
    }
    uint64_t n = 0;
    int code = 0;
    if (st.words.size() != 4 || !parseNumber(st.words[2], &n) || n == 0 || !parseErrorCode(st.words[3], &code))
        return "expected 'fail submit N ERROR' with N from 1";
    endpoint_->submitFaults.emplace_back(n, code);
    return {};
}

std::string Parser::finishDevice() {
    if (!device_) return {};
    SimDevice& d = *device_;
    device_ = nullptr;
    endpoint_ = nullptr;
    if (std::string p = d.model->finish(); !p.empty()) return "device " + d.name + ": " + p;
    for (const EndpointInfo& e : d.model->endpoints()) {
        if (EndpointState* ep = d.endpoint(e.address)) {
            ep->info = e;
            continue;
        }
        auto ep = std::make_unique<EndpointState>();
        ep->info = e;
        d.endpoints.push_back(std::move(ep));
    }
    for (auto& ep : d.endpoints)
        if (ep->info.type != kBulk && ep->info.type != kInterrupt)
            return "device " + d.name + ": endpoint " + hex8(ep->info.address) + " is neither bulk nor interrupt";
    return {};
}

}  // namespace

bool parseScenario(std::string_view text, const std::string& baseDir, std::vector<std::unique_ptr<SimDevice>>* devices,
                   Settings* settings, std::string* error) {
    Parser parser(devices, settings);
    int lineNo = 0;
    auto fail = [&](const std::string& problem) {
        if (error) *error = "line " + std::to_string(lineNo) + ": " + problem;
        devices->clear();
        return false;
    };
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        ++lineNo;
        Statement st;
        st.line = lineNo;
        st.baseDir = baseDir;
        if (!splitWords(text.substr(pos, end - pos), &st.words)) return fail("unterminated quote");
        pos = end + 1;
        if (st.words.empty()) continue;
        if (std::string p = parser.statement(st); !p.empty()) return fail(p);
    }
    if (std::string p = parser.finishDevice(); !p.empty()) return fail(p);
    return true;
}

bool parseScenarioFile(const std::string& path, std::vector<std::unique_ptr<SimDevice>>* devices, Settings* settings,
                       std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = path + ": cannot read the scenario";
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    size_t slash = path.find_last_of("/\\");
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    if (!parseScenario(text.str(), dir, devices, settings, error)) {
        if (error) *error = path + ":" + error->substr(5);  // "line N: x" -> "path:N: x"
        return false;
    }
    return true;
}

}  // namespace qwsim
