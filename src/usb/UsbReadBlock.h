#pragma once
// One asynchronous read and its data, and the intrusive lists that carry reads
// through the USB controller's pipeline.
//
// A block is one allocation: the fields, then `bufferSize` data bytes. It lives in
// exactly one list at a time (an in-flight list, the completed list, the process
// thread's batch, the free list); the lists themselves take no lock, their
// controller's lock guards them.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/Error.h"
#include "usb/UsbDevice.h"

class UsbControllerBase;

struct UsbReadBlock;

struct UsbReadBlockDeleter {
    void operator()(UsbReadBlock* block) const;
};
// Owns a block that is in no list.
using UsbReadBlockPtr = std::unique_ptr<UsbReadBlock, UsbReadBlockDeleter>;

struct UsbReadBlock {
    enum Kind : uint32_t { kBulk = 0, kInterrupt = 1 };

    UsbReadBlock* next = nullptr;
    UsbReadBlock* prev = nullptr;
    uint32_t completed = 0;  // the transfer came back; for the in-order rule
    UsbControllerBase* owner = nullptr;
    vek::io::UsbTransfer transfer;  // recreated for every submission
    uint32_t channel = 0;           // the subclass's tag
    uint32_t endpoint = 0;
    uint32_t kind = kBulk;
    uint64_t bufferSize = 0;
    int64_t result = 0;    // bytes received, or -1 with `error` set
    vek::err::Error error;

    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }

    // Null when memory runs out (Windows error 1450 set).
    static UsbReadBlockPtr allocate(uint64_t bufferSize);
    // Blocks allocated by this process so far; lets tests see reuse.
    static uint64_t allocations() { return allocations_.load(std::memory_order_relaxed); }

private:
    UsbReadBlock() = default;
    ~UsbReadBlock() = default;
    friend struct UsbReadBlockDeleter;

    static std::atomic<uint64_t> allocations_;
};

// Doubly linked, owning: the blocks in a list are freed with it.
class UsbReadBlockList {
public:
    UsbReadBlockList() = default;
    UsbReadBlockList(const UsbReadBlockList&) = delete;
    UsbReadBlockList& operator=(const UsbReadBlockList&) = delete;
    ~UsbReadBlockList() { clear(); }

    UsbReadBlock* head() const { return head_; }
    UsbReadBlock* tail() const { return tail_; }
    uint64_t count() const { return count_; }
    bool empty() const { return count_ == 0; }

    void pushBack(UsbReadBlockPtr block);
    UsbReadBlockPtr popFront();
    // Takes a block of this list out of it.
    UsbReadBlockPtr unlink(UsbReadBlock* block);
    // Moves every block of `other` to the tail of this list.
    void append(UsbReadBlockList& other);
    // Frees every block, with its transfer.
    void clear();

private:
    UsbReadBlock* head_ = nullptr;
    UsbReadBlock* tail_ = nullptr;
    uint64_t count_ = 0;
};
