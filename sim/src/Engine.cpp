#include "Engine.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "Scenario.h"

namespace qwsim {

void OpQueue::push(Op* op) {
    op->next = nullptr;
    op->prev = tail_;
    if (tail_)
        tail_->next = op;
    else
        head_ = op;
    tail_ = op;
}

void OpQueue::remove(Op* op) {
    (op->prev ? op->prev->next : head_) = op->next;
    (op->next ? op->next->prev : tail_) = op->prev;
    op->next = op->prev = nullptr;
}

Op* OpQueue::takeAll() {
    Op* first = head_;
    head_ = tail_ = nullptr;
    return first;
}

EndpointState* SimDevice::endpoint(uint8_t address) {
    for (auto& ep : endpoints)
        if (ep->info.address == address) return ep.get();
    return nullptr;
}

Engine& Engine::get() {
    // Never destroyed: libusb calls may come from other singletons' destructors.
    static Engine* engine = new Engine;
    return *engine;
}

Engine::Engine() : epoch_(std::chrono::steady_clock::now()) {}

SimTime Engine::now() const {
    auto real = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - epoch_);
    return static_cast<SimTime>(static_cast<double>(real.count()) * settings.speed);
}

void Engine::waitUntil(std::unique_lock<std::mutex>& hold, SimTime when) {
    if (when == kNever) {
        cv.wait(hold);
        return;
    }
    SimTime delta = when - now();
    if (delta <= 0) return;
    auto real = std::chrono::microseconds(static_cast<int64_t>(static_cast<double>(delta) / settings.speed) + 1);
    cv.wait_for(hold, real);
}

bool Engine::ensureLoaded() {
    if (loaded) return true;
    const char* path = std::getenv(kScenarioVariable);
    std::vector<std::unique_ptr<SimDevice>> parsed;
    Settings parsedSettings;
    std::string error;
    if (path && *path && !parseScenarioFile(path, &parsed, &parsedSettings, &error)) {
        std::fprintf(stderr, "qwsim: %s\n", error.c_str());
        return false;
    }
    if (!replace(std::move(parsed), parsedSettings, false, &error)) {
        std::fprintf(stderr, "qwsim: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool Engine::replace(std::vector<std::unique_ptr<SimDevice>> next, const Settings& nextSettings, bool memory,
                     std::string* error) {
    auto refuse = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (defaultRefs > 0 || !contexts.empty()) return refuse("a libusb context is still open");
    if (liveTransfers > 0) return refuse(std::to_string(liveTransfers) + " transfer(s) still allocated");
    for (auto& d : devices)
        if (d->refs != 0 || d->handles != 0) return refuse("device " + d->name + " is still referenced");

    FILE* file = nullptr;
    if (nextSettings.recordPath == "-") {
        file = stderr;
    } else if (!nextSettings.recordPath.empty()) {
        file = std::fopen(nextSettings.recordPath.c_str(), "w");
        if (!file) return refuse("cannot write the record file " + nextSettings.recordPath);
    }
    if (recordFile_ && recordFile_ != stderr) std::fclose(recordFile_);
    recordFile_ = file;
    memory_ = memory;
    lines.clear();
    devices = std::move(next);
    settings = nextSettings;
    epoch_ = std::chrono::steady_clock::now();
    nextWake = kNever;
    allocations = allocAttempts = misuses = eventPasses = 0;
    loaded = true;
    cv.notify_all();
    return true;
}

bool Engine::contextOk(libusb_context* ctx, const char* function) {
    if (ctx ? contexts.count(ctx) != 0 : defaultRefs > 0) return true;
    misuse(std::string(function) + (ctx ? " with an unknown context" : " without libusb_init"));
    return false;
}

void Engine::record(const std::string& line) {
    if (!recordFile_ && !settings.recordPath.empty()) recordFile_ = std::fopen(settings.recordPath.c_str(), "a");
    if (recordFile_) {
        std::fputs(line.c_str(), recordFile_);
        std::fputc('\n', recordFile_);
        std::fflush(recordFile_);
    }
    if (memory_) lines.push_back(line);
}

void Engine::pauseRecord() {
    if (recordFile_ && recordFile_ != stderr) {
        std::fclose(recordFile_);
        recordFile_ = nullptr;
    }
}

void Engine::misuse(const std::string& what) {
    ++misuses;
    record("misuse " + what);
    // Loud, so that no test can miss it; fatal where the scenario or the
    // environment asks for it (end-to-end runs of the real program).
    std::fprintf(stderr, "qwsim: misuse: %s\n", what.c_str());
    const char* strict = std::getenv("QWSIM_STRICT");
    if (settings.strict || (strict && std::string_view(strict) == "1")) {
        std::fflush(nullptr);
        std::abort();
    }
}

void Engine::pump(SimTime t) {
    nextWake = kNever;
    for (auto& d : devices)
        for (auto& ep : d->endpoints) serviceEndpoint(*d, *ep, t);
}

void Engine::serviceEndpoint(SimDevice& d, EndpointState& ep, SimTime t) {
    if (d.disconnected) return;  // disconnect() completed everything already
    // Cancelled and expired transfers leave wherever they are in the queue.
    for (Op* op = ep.queue.head(); op;) {
        Op* next = op->next;
        if (op->cancelRequested)
            finish(op, LIBUSB_TRANSFER_CANCELLED, false);
        else if (op != ep.queue.head() && op->deadline <= t)
            finish(op, LIBUSB_TRANSFER_TIMED_OUT, false);
        if (d.disconnected) return;
        op = next;
    }
    // Data moves only through the head, as on the wire.
    while (Op* op = ep.queue.head()) {
        InData got;
        if (op->held) {
            // Nothing moves; the transfers behind it wait, as on the wire.
            if (op->deadline > t) break;
            if (!ep.isIn())
                record("out dev=" + d.name + " ep=" + hex8(ep.info.address) + " len=" + std::to_string(op->length) +
                       " timeout=" + std::to_string(op->timeoutMs) + " result=" + std::to_string(LIBUSB_ERROR_TIMEOUT) +
                       " data=");
            finish(op, LIBUSB_TRANSFER_TIMED_OUT, true);
        } else if (op->forcedStatus >= 0) {
            if (ep.isIn()) take(d, ep, op, t, &got);
            finish(op, op->forcedStatus, true);
        } else if (!ep.isIn()) {
            giveOut(d, ep, op, t);
        } else {
            take(d, ep, op, t, &got);
            if (got.stall) {
                finish(op, LIBUSB_TRANSFER_STALL, true);
            } else if (op->actual == op->length || got.packetEnd) {
                finish(op, LIBUSB_TRANSFER_COMPLETED, true);
            } else if (op->deadline <= t) {
                finish(op, LIBUSB_TRANSFER_TIMED_OUT, true);
            } else {
                nextWake = std::min({nextWake, got.retryAt, op->deadline});
                break;
            }
        }
        if (d.disconnected) return;
    }
    for (Op* op = ep.queue.head(); op; op = op->next) nextWake = std::min(nextWake, op->deadline);
}

void Engine::take(SimDevice& d, EndpointState& ep, Op* op, SimTime t, InData* got) {
    size_t room = static_cast<size_t>(op->length - op->actual);
    if (d.disconnectAfterBytes) room = std::min<uint64_t>(room, d.disconnectAfterBytes - d.bytesIn);
    *got = d.model->readIn(ep.info.address, op->buffer + op->actual, room, t);
    got->bytes = std::min(got->bytes, room);
    op->actual += static_cast<int>(got->bytes);
    d.bytesIn += got->bytes;
    if (d.disconnectAfterBytes && d.bytesIn >= d.disconnectAfterBytes) got->packetEnd = true;
}

void Engine::giveOut(SimDevice& d, EndpointState& ep, Op* op, SimTime t) {
    int r = d.model->writeOut(ep.info.address, op->buffer, static_cast<size_t>(op->length), t);
    record("out dev=" + d.name + " ep=" + hex8(ep.info.address) + " len=" + std::to_string(op->length) +
           " timeout=" + std::to_string(op->timeoutMs) + " result=" + std::to_string(r) +
           " data=" + hexBytes(op->buffer, static_cast<size_t>(op->length)));
    if (r < 0) {
        finish(op, r == LIBUSB_ERROR_PIPE ? LIBUSB_TRANSFER_STALL : LIBUSB_TRANSFER_ERROR, true);
        return;
    }
    op->actual = std::min(r, op->length);
    finish(op, LIBUSB_TRANSFER_COMPLETED, true);
}

void Engine::finish(Op* op, int status, bool inOrder) {
    SimDevice& d = *op->device;
    EndpointState* ep = op->endpoint;
    if (op->state == Op::State::Queued && ep) ep->queue.remove(op);
    op->status = status;
    bool counts = status != LIBUSB_TRANSFER_NO_DEVICE && !d.disconnected;
    if (counts) ++d.transfersDone;

    bool ordered = ep && !ep->order.empty() && op->transfer;
    if (ordered && inOrder && status != LIBUSB_TRANSFER_NO_DEVICE) {
        hold(*ep, op);
    } else {
        if (ordered) {
            ep->released.insert(op->serial);
            releaseWindows(*ep, false);
        }
        deliver(op);
    }
    if (counts && ((d.disconnectAfterTransfers && d.transfersDone >= d.disconnectAfterTransfers) ||
                   (d.disconnectAfterBytes && d.bytesIn >= d.disconnectAfterBytes)))
        disconnect(d);
}

void Engine::hold(EndpointState& ep, Op* op) {
    uint64_t width = ep.order.size();
    if (op->serial < ep.windowBase || op->serial - ep.windowBase >= width) {
        deliver(op);
        return;
    }
    ep.held.resize(width, nullptr);
    ep.held[op->serial - ep.windowBase] = op;
    op->state = Op::State::Held;
    releaseWindows(ep, false);
}

void Engine::releaseWindows(EndpointState& ep, bool all) {
    uint64_t width = ep.order.size();
    ep.held.resize(width, nullptr);
    for (;;) {
        bool complete = true;
        for (uint64_t p = 0; p < width; ++p)
            if (!ep.held[p] && !ep.released.count(ep.windowBase + p)) complete = false;
        if (!complete && !all) return;
        for (int position : ep.order) {
            Op*& op = ep.held[static_cast<size_t>(position - 1)];
            if (op) deliver(std::exchange(op, nullptr));
        }
        if (!complete) return;  // flushed early: the window stays open for late transfers
        for (uint64_t p = 0; p < width; ++p) ep.released.erase(ep.windowBase + p);
        ep.windowBase += width;
    }
}

void Engine::releaseHeld(Op* op) {
    EndpointState& ep = *op->endpoint;
    for (Op*& slot : ep.held)
        if (slot == op) slot = nullptr;
    ep.released.insert(op->serial);
    deliver(op);
    releaseWindows(ep, false);
}

void Engine::deliver(Op* op) {
    op->state = Op::State::Done;
    if (op->transfer) done_.push(op);
    cv.notify_all();
}

Op* Engine::takeDone() { return done_.takeAll(); }

void Engine::disconnect(SimDevice& d) {
    d.disconnected = true;
    record("disconnect dev=" + d.name);
    for (auto& ep : d.endpoints) {
        if (!ep->order.empty()) releaseWindows(*ep, true);
        while (Op* op = ep->queue.head()) finish(op, LIBUSB_TRANSFER_NO_DEVICE, false);
    }
    cv.notify_all();
}

int Engine::runControl(SimDevice& d, const ControlSetup& setup, uint8_t* data, unsigned timeoutMs) {
    int r = 0;
    bool faulted = false;
    for (ControlFault& f : d.controlFaults) {
        if (f.requestType != setup.requestType || f.request != setup.request) continue;
        ++f.seen;
        if (f.nth == 0 || f.seen == f.nth) {
            r = f.error;
            faulted = true;
            break;
        }
    }
    if (!faulted) r = d.model->control(setup, data, now());
    r = std::min<int>(r, setup.length);
    bool in = (setup.requestType & LIBUSB_ENDPOINT_IN) != 0;
    size_t shown = in ? static_cast<size_t>(std::max(r, 0)) : setup.length;
    record("control dev=" + d.name + " type=" + hex8(setup.requestType) + " req=" + hex8(setup.request) +
           " value=" + hex16(setup.value) + " index=" + hex16(setup.index) + " len=" + std::to_string(setup.length) +
           " timeout=" + std::to_string(timeoutMs) + " result=" + std::to_string(r) +
           " data=" + hexBytes(data, shown));
    return r;
}

std::string hexBytes(const uint8_t* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string hex8(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", v & 0xFF);
    return text;
}

std::string hex16(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", v & 0xFFFF);
    return text;
}

// The test-facing control functions.

bool loadScenario(std::string_view text, std::string* error, const std::string& baseDir) {
    std::vector<std::unique_ptr<SimDevice>> devices;
    Settings settings;
    if (!parseScenario(text, baseDir, &devices, &settings, error)) return false;
    Engine& e = Engine::get();
    std::lock_guard<std::mutex> hold(e.mutex);
    return e.replace(std::move(devices), settings, true, error);
}

bool checkScenario(std::string_view text, std::string* error, const std::string& baseDir) {
    std::vector<std::unique_ptr<SimDevice>> devices;
    Settings settings;
    return parseScenario(text, baseDir, &devices, &settings, error);
}

std::vector<std::string> recordedLines() {
    Engine& e = Engine::get();
    std::lock_guard<std::mutex> hold(e.mutex);
    return e.lines;
}

void clearRecordedLines() {
    Engine& e = Engine::get();
    std::lock_guard<std::mutex> hold(e.mutex);
    e.lines.clear();
}

void note(const std::string& text) {
    Engine& e = Engine::get();
    std::lock_guard<std::mutex> hold(e.mutex);
    e.record("note " + text);
}

Counters counters() {
    Engine& e = Engine::get();
    std::lock_guard<std::mutex> hold(e.mutex);
    Counters c;
    c.defaultContextRefs = e.defaultRefs;
    c.liveTransfers = e.liveTransfers;
    c.allocations = e.allocations;
    c.misuses = e.misuses;
    c.eventPasses = e.eventPasses;
    for (auto& d : e.devices) {
        c.openHandles += static_cast<size_t>(d->handles);
        c.deviceRefs += d->refs;
    }
    return c;
}

SimTime now() {
    Engine& e = Engine::get();
    std::lock_guard<std::mutex> hold(e.mutex);
    return e.now();
}

void wake() {
    Engine& e = Engine::get();
    std::lock_guard<std::mutex> hold(e.mutex);
    e.cv.notify_all();
}

}  // namespace qwsim
