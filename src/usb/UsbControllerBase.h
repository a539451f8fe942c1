#pragma once
// The base of every controller whose device hangs on USB: finding the n-th device
// of a model, a pipeline of asynchronous reads that keeps `readParallelism` reads
// in flight per endpoint and hands them over strictly in submission order, and the
// stop / wait-and-close steps of the controller life cycle.
//
// Threads:
//   main thread     start (subclass), stop, waitAndClose, processCommand;
//   read thread     submits reads (submitReads), cancels them when it ends;
//   process thread  turns completed reads into messages (processData), no lock;
//   event thread    completion callbacks (onReadCompleted), with `lock` held.
// `lock` guards the block lists and state flags. A failed capture ends with one
// error message (0x20) on the output, after the data of every read that came
// back (a failed submission waits for the reads in flight); it closes the command transport
// (which ends the command loop) and asks the capture to stop.

#include <cstdint>
#include <thread>

#include "session/ControllerBase.h"
#include "foundation/Event.h"
#include "usb/UsbDevice.h"
#include "usb/UsbReadBlock.h"

class UsbControllerBase : public ControllerBase {
public:
    explicit UsbControllerBase(const Settings* settings);
    // Destroy only when idle (after waitAndClose): the threads call virtuals.
    ~UsbControllerBase() override;

    void stop() override;
    void waitAndClose() override;

protected:
    // Read thread, `lock` held: top up every in-flight list (normally queueReads
    // per list). False with the last error ends the capture.
    virtual bool submitReads() = 0;
    // Read thread, no lock, when it ends: cancelAndWait per in-flight list.
    virtual void cancelReads() = 0;
    // Event thread, `lock` held: normally completeRead with the block's list.
    virtual void onReadCompleted(UsbReadBlock* block) = 0;
    // Process thread, no lock, for every completed block with data, in order.
    // False with the last error ends the capture.
    virtual bool processData(UsbReadBlock* block) = 0;

    // Finds device number settings->deviceIndex (counting only this VID and PID,
    // in libusb's order), holds it in `device` and opens it. Main thread.
    bool findDevice(uint16_t vid, uint16_t pid);
    bool claimInterface(uint32_t n) { return device.claimInterface(n); }
    // Starts the read and process threads; the first reads go out at once. Leaves
    // a pair that is already there alone (a capture start may come again by host
    // command). Main thread.
    bool startThreads();
    // Tops `list` up to readParallelism reads of `length` bytes from `endpoint`.
    // Entered from submitReads with `lock` held, returns with it held, and drops it
    // while transfers are allocated and submitted. False with the last error; the
    // blocks not submitted are freed.
    bool queueReads(UsbReadBlockList& list, uint32_t channel, uint8_t endpoint, uint32_t kind, uint32_t length);
    // The in-order rule, `lock` held: marks the block completed and moves the
    // completed head run of `list` to completedList. Returns the blocks moved.
    size_t completeRead(UsbReadBlockList& list, UsbReadBlock* block);
    // Read thread, no lock: cancels every read of `list` and waits until the list
    // is empty.
    void cancelAndWait(UsbReadBlockList& list);
    // Reads and discards a bulk IN endpoint until a read comes back empty or times
    // out (500 ms). Main thread, device open, threads not reading it.
    bool drainEndpoint(uint8_t endpoint);

    static constexpr uint32_t kDrainBufferSize = 8192;
    static constexpr uint32_t kDrainTimeoutMs = 500;

    std::thread readThread;
    std::thread processThread;
    vek::sys::Event readEvent;
    vek::sys::Event processEvent;
    vek::io::UsbDevice device;
    UsbReadBlockList freeList;
    UsbReadBlockList completedList;

private:
    static void onTransferDone(libusb_transfer* transfer);
    // A free block of at least `size` bytes, nearest the tail, or a new one.
    UsbReadBlockPtr takeFreeBlock(uint64_t size);
    void readThreadMain();
    void processThreadMain();
    // One error message with the last error, the command transport closed, stop.
    void failCapture();

    // The read thread's failure, once every read it had in flight is back;
    // guarded by lock. The process thread reports it after the data.
    vek::err::Error readFailure_;
};
