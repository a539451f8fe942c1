// The read pipeline of UsbControllerBase: submitting reads, completing them in
// order, handing them to the process thread, cancelling them at the end.
#include <algorithm>
#include <vector>

#include "session/Message.h"
#include "usb/Libusb.h"
#include "usb/UsbControllerBase.h"

void UsbControllerBase::onTransferDone(libusb_transfer* transfer) {
    auto* block = static_cast<UsbReadBlock*>(transfer->user_data);
    int status = transfer->status;
    if (status == LIBUSB_TRANSFER_ERROR || status >= LIBUSB_TRANSFER_STALL) {
        block->result = -1;
        block->error = vek::err::Error::fromCode(vek::err::kUsbDomain, static_cast<uint32_t>(status));
    } else {
        // Completed, timed out or cancelled: whatever arrived counts.
        block->result = transfer->actual_length;
    }
    UsbControllerBase* owner = block->owner;
    std::lock_guard<std::mutex> hold(owner->lock);
    owner->onReadCompleted(block);
}

UsbReadBlockPtr UsbControllerBase::takeFreeBlock(uint64_t size) {
    // A smaller block would let the transfer write past its buffer.
    for (UsbReadBlock* b = freeList.tail(); b; b = b->prev)
        if (b->bufferSize >= size) return freeList.unlink(b);
    return UsbReadBlock::allocate(size);
}

bool UsbControllerBase::queueReads(UsbReadBlockList& list, uint32_t channel, uint8_t endpoint, uint32_t kind,
                                   uint32_t length) {
    uint64_t size = std::max<uint64_t>(settings->readBlockSize, length);
    UsbReadBlockList local;
    while (list.count() + local.count() < settings->readParallelism) {
        UsbReadBlockPtr block = takeFreeBlock(size);
        if (!block) return false;  // allocate set the last error; `local` frees the rest
        local.pushBack(std::move(block));
    }
    lock.unlock();
    bool ok = true;
    while (ok && !local.empty()) {
        UsbReadBlockPtr block = local.popFront();
        block->completed = 0;
        block->owner = this;
        block->channel = channel;
        block->endpoint = endpoint;
        block->kind = kind;
        block->result = 0;
        block->error.clear();
        UsbReadBlock* raw = block.get();
        if (!raw->transfer.create(0)) {
            ok = false;  // `block` frees it
            break;
        }
        libusb_transfer* t = raw->transfer.get();
        if (kind == UsbReadBlock::kInterrupt)
            libusb_fill_interrupt_transfer(t, device.handle(), endpoint, raw->data(), static_cast<int>(length),
                                           &UsbControllerBase::onTransferDone, raw, 0);
        else
            libusb_fill_bulk_transfer(t, device.handle(), endpoint, raw->data(), static_cast<int>(length),
                                      &UsbControllerBase::onTransferDone, raw, 0);
        // Linked before it is submitted, so its completion always finds it there.
        lock.lock();
        list.pushBack(std::move(block));
        lock.unlock();
        if (!raw->transfer.submit()) {
            lock.lock();
            block = list.unlink(raw);
            lock.unlock();
            ok = false;
        }
    }
    lock.lock();
    return ok;
}

size_t UsbControllerBase::completeRead(UsbReadBlockList& list, UsbReadBlock* block) {
    block->completed = 1;
    if (list.head() != block) return 0;  // waits for the reads submitted before it
    size_t moved = 0;
    while (list.head() && list.head()->completed) {
        completedList.pushBack(list.popFront());
        ++moved;
    }
    readEvent.set();
    return moved;
}

void UsbControllerBase::cancelAndWait(UsbReadBlockList& list) {
    std::vector<UsbReadBlock*> inFlight;
    {
        std::lock_guard<std::mutex> hold(lock);
        for (UsbReadBlock* b = list.head(); b; b = b->next) inFlight.push_back(b);
    }
    // A failed cancel is no matter: the read completes by itself sooner or later.
    // The blocks stay allocated meanwhile: only this thread frees or reuses them.
    for (UsbReadBlock* b : inFlight) b->transfer.cancel();
    std::unique_lock<std::mutex> hold(lock);
    while (!list.empty()) {
        hold.unlock();
        readEvent.wait();
        hold.lock();
    }
}

void UsbControllerBase::readThreadMain() {
    readEvent.wait();
    vek::err::Error failure;
    while (!stopRequested()) {
        bool ok;
        {
            std::lock_guard<std::mutex> hold(lock);
            ok = submitReads();
        }
        if (!ok) {
            failure = vek::err::copyLastError();
            break;
        }
        processEvent.set();
        readEvent.wait();
    }
    cancelReads();
    if (failure.empty()) return;
    // Every read is back now. The process thread hands on what they brought,
    // then reports this failure: a failing resubmission loses no data.
    std::lock_guard<std::mutex> hold(lock);
    readFailure_ = std::move(failure);
    processEvent.set();
}

void UsbControllerBase::processThreadMain() {
    processEvent.wait();
    UsbReadBlockList batch;
    while (!stopRequested()) {
        bool readsEnded;
        {
            std::lock_guard<std::mutex> hold(lock);
            batch.append(completedList);
            readsEnded = !readFailure_.empty();
        }
        bool ok = true;
        for (UsbReadBlock* b = batch.head(); b && ok; b = b->next) {
            if (b->result < 0) {
                vek::err::setError(b->error.ref());
                ok = false;
            } else if (b->result > 0) {
                ok = processData(b);
            }
        }
        {
            // Kept even after a failure: the read thread may still be cancelling them.
            std::lock_guard<std::mutex> hold(lock);
            freeList.append(batch);
        }
        if (ok && readsEnded) {
            vek::err::restoreLastError(readFailure_);  // set before this batch was taken: it was the last
            ok = false;
        }
        if (!ok) {
            failCapture();
            break;
        }
        processEvent.wait();
    }
    if (TransportBase* command = commandTransport.load()) command->close();
}
