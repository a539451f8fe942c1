// libusb entry points for transfers and event handling. Asynchronous transfers
// complete only inside libusb_handle_events*, on the calling thread, with the
// simulator's lock released; synchronous calls wait for their own transfer and
// never run anybody's callback.
#include <algorithm>
#include <cstdlib>
#include <new>

#include "Engine.h"
#include "Export.h"


using qwsim::Engine;
using qwsim::EndpointState;
using qwsim::Op;
using qwsim::SimDevice;
using qwsim::SimTime;

namespace {

// An allocated transfer: our bookkeeping, then libusb's public struct with its
// isochronous packet descriptors.
constexpr size_t kOpSpace = (sizeof(Op) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);

Op* opOf(libusb_transfer* t) { return reinterpret_cast<Op*>(reinterpret_cast<char*>(t) - kOpSpace); }

// libusb's blocking forms return after at most 60 s without events.
constexpr SimTime kBlockingPass = 60'000'000;

int errorOf(int status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED: return 0;
        case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
        default: return LIBUSB_ERROR_IO;
    }
}

// Numbers a new transfer on its endpoint and applies the endpoint's faults.
// Returns 0, or the libusb error an injected submit failure asks for.
int admit(Engine& e, SimDevice& d, EndpointState& ep, Op* op, unsigned timeoutMs) {
    ++ep.attempts;
    for (auto& [nth, code] : ep.submitFaults)
        if (nth == ep.attempts) {
            e.record("fault dev=" + d.name + " ep=" + qwsim::hex8(ep.info.address) + " submit=" +
                     std::to_string(nth) + " error=" + std::to_string(code));
            return code;
        }
    op->serial = ++ep.accepted;
    op->forcedStatus = -1;
    for (auto& [nth, status] : ep.statusFaults)
        if (nth == op->serial) op->forcedStatus = status;
    op->held = std::find(ep.heldTransfers.begin(), ep.heldTransfers.end(), op->serial) != ep.heldTransfers.end();
    op->device = &d;
    op->endpoint = &ep;
    op->actual = 0;
    op->status = LIBUSB_TRANSFER_COMPLETED;
    op->cancelRequested = false;
    op->timeoutMs = timeoutMs;
    op->deadline = timeoutMs ? e.now() + SimTime{timeoutMs} * 1000 : qwsim::kNever;
    ep.queue.push(op);
    op->state = Op::State::Queued;
    if (ep.isIn()) d.model->readRequested(ep.info.address, e.now());
    e.cv.notify_all();
    return 0;
}

int syncTransfer(libusb_device_handle* h, unsigned char endpoint, unsigned char* data, int length, int* transferred,
                 unsigned timeout, uint8_t type, const char* function) {
    Engine& e = Engine::get();
    std::unique_lock<std::mutex> hold(e.mutex);
    if (transferred) *transferred = 0;
    if (!h || !h->dev) {
        e.misuse(std::string(function) + " without a device handle");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    SimDevice& d = *h->dev->sim;
    if (d.disconnected) return LIBUSB_ERROR_NO_DEVICE;
    EndpointState* ep = d.endpoint(endpoint);
    if (!ep) return LIBUSB_ERROR_NOT_FOUND;
    if (ep->info.type != type || length < 0 || (length && !data)) return LIBUSB_ERROR_INVALID_PARAM;
    Op op;
    op.buffer = data;
    op.length = length;
    if (int r = admit(e, d, *ep, &op, timeout)) return r;
    for (;;) {
        e.pump(e.now());
        if (op.state == Op::State::Done) break;
        e.waitUntil(hold, e.nextWake);
    }
    if (transferred) *transferred = op.actual;
    return errorOf(op.status);
}

// Hands a finished transfer to its owner; no lock held.
void complete(libusb_transfer* t, const Op& op) {
    t->status = static_cast<libusb_transfer_status>(op.status);
    t->actual_length = op.actual;
    if ((t->flags & LIBUSB_TRANSFER_SHORT_NOT_OK) && op.status == LIBUSB_TRANSFER_COMPLETED && op.actual < op.length)
        t->status = LIBUSB_TRANSFER_ERROR;
    bool freeAfter = (t->flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0;
    if (t->callback) t->callback(t);
    if (freeAfter) libusb_free_transfer(t);
}

int handleEvents(libusb_context* ctx, SimTime timeout, int* completed, const char* function, const char* trace) {
    Engine& e = Engine::get();
    std::unique_lock<std::mutex> hold(e.mutex);
    if (!e.contextOk(ctx, function)) return LIBUSB_ERROR_INVALID_PARAM;
    ++e.eventPasses;
    ++e.busy;
    if (e.settings.traceEvents) e.record(trace);
    SimTime deadline = e.now() + timeout;
    Op* batch = nullptr;
    for (;;) {
        SimTime t = e.now();
        e.pump(t);
        batch = e.takeDone();
        if (batch || t >= deadline || (completed && *completed) || e.interrupted) break;
        SimTime until = std::min(deadline, e.nextWake);
        // Nobody signals us when the caller's flag changes, so look at it now and then.
        if (completed) until = std::min<SimTime>(until, t + static_cast<SimTime>(10'000 * e.settings.speed));
        e.waitUntil(hold, until);
    }
    e.interrupted = false;
    // Ready for resubmission before the callbacks run.
    for (Op* op = batch; op; op = op->next) {
        op->state = Op::State::Idle;
        if (op->transfer->dev_handle) --op->transfer->dev_handle->inFlight;
    }
    hold.unlock();
    while (batch) {
        Op* op = batch;
        batch = op->next;
        complete(op->transfer, *op);  // may free or resubmit op
    }
    hold.lock();
    --e.busy;
    return 0;
}

}  // namespace

extern "C" {

QWSIM_API libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets) {
    Engine& e = Engine::get();
    std::lock_guard<std::mutex> hold(e.mutex);
    ++e.allocAttempts;
    if (isoPackets < 0) return nullptr;
    if (e.settings.failAllocNth == e.allocAttempts) {
        e.record("fault alloc=" + std::to_string(e.allocAttempts));
        return nullptr;
    }
    size_t size = kOpSpace + sizeof(libusb_transfer) + static_cast<size_t>(isoPackets) * sizeof(libusb_iso_packet_descriptor);
    void* memory = std::calloc(1, size);
    if (!memory) return nullptr;
    Op* op = new (memory) Op;
    auto* t = reinterpret_cast<libusb_transfer*>(static_cast<char*>(memory) + kOpSpace);
    t->num_iso_packets = isoPackets;
    op->transfer = t;
    ++e.liveTransfers;
    ++e.allocations;
    return t;
}

QWSIM_API void LIBUSB_CALL libusb_free_transfer(libusb_transfer* t) {
    if (!t) return;
    Engine& e = Engine::get();
    std::lock_guard<std::mutex> hold(e.mutex);
    Op* op = opOf(t);
    if (op->state != Op::State::Idle) {
        // Still queued or waiting for its callback: keep the memory, report the bug.
        e.misuse("libusb_free_transfer of a transfer in flight");
        return;
    }
    if (t->flags & LIBUSB_TRANSFER_FREE_BUFFER) std::free(t->buffer);
    op->~Op();
    std::free(op);
    --e.liveTransfers;
}

QWSIM_API int LIBUSB_CALL libusb_submit_transfer(libusb_transfer* t) {
    Engine& e = Engine::get();
    std::lock_guard<std::mutex> hold(e.mutex);
    Op* op = opOf(t);
    if (op->state != Op::State::Idle) return LIBUSB_ERROR_BUSY;
    libusb_device_handle* h = t->dev_handle;
    if (!h || !h->dev) {
        e.misuse("libusb_submit_transfer without a device handle");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    SimDevice& d = *h->dev->sim;
    if (d.disconnected) return LIBUSB_ERROR_NO_DEVICE;
    if (t->length < 0 || (t->length && !t->buffer)) return LIBUSB_ERROR_INVALID_PARAM;
    op->buffer = t->buffer;
    op->length = t->length;
    if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL) {
        if (t->length < static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE)) return LIBUSB_ERROR_INVALID_PARAM;
        libusb_control_setup* s = libusb_control_transfer_get_setup(t);
        qwsim::ControlSetup setup{s->bmRequestType, s->bRequest, libusb_le16_to_cpu(s->wValue),
                                  libusb_le16_to_cpu(s->wIndex), libusb_le16_to_cpu(s->wLength)};
        if (setup.length > t->length - static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE)) return LIBUSB_ERROR_INVALID_PARAM;
        int r = e.runControl(d, setup, libusb_control_transfer_get_data(t), t->timeout);
        op->device = &d;
        op->endpoint = nullptr;
        op->actual = r < 0 ? 0 : r;
        op->status = r >= 0 ? LIBUSB_TRANSFER_COMPLETED
                     : r == LIBUSB_ERROR_PIPE ? LIBUSB_TRANSFER_STALL
                     : r == LIBUSB_ERROR_NO_DEVICE ? LIBUSB_TRANSFER_NO_DEVICE
                                                    : LIBUSB_TRANSFER_ERROR;
        ++h->inFlight;
        e.finish(op, op->status, false);
        return 0;
    }
    if (t->type != LIBUSB_TRANSFER_TYPE_BULK && t->type != LIBUSB_TRANSFER_TYPE_INTERRUPT)
        return LIBUSB_ERROR_NOT_SUPPORTED;
    EndpointState* ep = d.endpoint(t->endpoint);
    if (!ep) return LIBUSB_ERROR_NOT_FOUND;
    if (ep->info.type != t->type) return LIBUSB_ERROR_INVALID_PARAM;
    if (int r = admit(e, d, *ep, op, t->timeout)) return r;
    ++h->inFlight;
    return 0;
}

QWSIM_API int LIBUSB_CALL libusb_cancel_transfer(libusb_transfer* t) {
    Engine& e = Engine::get();
    std::lock_guard<std::mutex> hold(e.mutex);
    Op* op = opOf(t);
    if (op->state == Op::State::Held) {
        e.releaseHeld(op);
        return 0;
    }
    if (op->state != Op::State::Queued || op->cancelRequested) return LIBUSB_ERROR_NOT_FOUND;
    op->cancelRequested = true;
    e.cv.notify_all();
    return 0;
}

QWSIM_API int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv,
                                                                 int* completed) {
    if (!tv || tv->tv_sec < 0 || tv->tv_usec < 0 || tv->tv_usec >= 1'000'000) {
        Engine& e = Engine::get();
        std::lock_guard<std::mutex> hold(e.mutex);
        if (e.settings.traceEvents) e.record("events invalid-timeval");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    SimTime us = SimTime{tv->tv_sec} * 1'000'000 + tv->tv_usec;
    return handleEvents(ctx, us, completed, "libusb_handle_events_timeout", ("events timeout_us=" + std::to_string(us)).c_str());
}

QWSIM_API int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

QWSIM_API int LIBUSB_CALL libusb_handle_events_completed(libusb_context* ctx, int* completed) {
    return handleEvents(ctx, kBlockingPass, completed, "libusb_handle_events", "events blocking");
}

QWSIM_API int LIBUSB_CALL libusb_handle_events(libusb_context* ctx) {
    return libusb_handle_events_completed(ctx, nullptr);
}

QWSIM_API void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context* ctx) {
    Engine& e = Engine::get();
    std::lock_guard<std::mutex> hold(e.mutex);
    if (!e.contextOk(ctx, "libusb_interrupt_event_handler")) return;
    if (e.settings.traceEvents) e.record("events interrupt");
    e.interrupted = true;
    e.cv.notify_all();
}

QWSIM_API int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* h, unsigned char endpoint, unsigned char* data,
                                               int length, int* transferred, unsigned int timeout) {
    return syncTransfer(h, endpoint, data, length, transferred, timeout, LIBUSB_TRANSFER_TYPE_BULK,
                        "libusb_bulk_transfer");
}

QWSIM_API int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* h, unsigned char endpoint,
                                                    unsigned char* data, int length, int* transferred,
                                                    unsigned int timeout) {
    return syncTransfer(h, endpoint, data, length, transferred, timeout, LIBUSB_TRANSFER_TYPE_INTERRUPT,
                        "libusb_interrupt_transfer");
}

}  // extern "C"
