#include "usb/UsbReadBlock.h"

#include <new>

std::atomic<uint64_t> UsbReadBlock::allocations_{0};

void UsbReadBlockDeleter::operator()(UsbReadBlock* block) const {
    block->~UsbReadBlock();
    ::operator delete(block);
}

UsbReadBlockPtr UsbReadBlock::allocate(uint64_t bufferSize) {
    void* memory = ::operator new(sizeof(UsbReadBlock) + bufferSize, std::nothrow);
    if (!memory) {
        vek::err::setWinError(vek::err::kWinNoSystemResources);
        return nullptr;
    }
    allocations_.fetch_add(1, std::memory_order_relaxed);
    UsbReadBlockPtr block(new (memory) UsbReadBlock);
    block->bufferSize = bufferSize;
    return block;
}

void UsbReadBlockList::pushBack(UsbReadBlockPtr owned) {
    UsbReadBlock* block = owned.release();
    block->next = nullptr;
    block->prev = tail_;
    (tail_ ? tail_->next : head_) = block;
    tail_ = block;
    ++count_;
}

UsbReadBlockPtr UsbReadBlockList::popFront() { return head_ ? unlink(head_) : nullptr; }

UsbReadBlockPtr UsbReadBlockList::unlink(UsbReadBlock* block) {
    (block->prev ? block->prev->next : head_) = block->next;
    (block->next ? block->next->prev : tail_) = block->prev;
    block->next = block->prev = nullptr;
    --count_;
    return UsbReadBlockPtr(block);
}

void UsbReadBlockList::append(UsbReadBlockList& other) {
    if (!other.head_) return;
    other.head_->prev = tail_;
    (tail_ ? tail_->next : head_) = other.head_;
    tail_ = other.tail_;
    count_ += other.count_;
    other.head_ = other.tail_ = nullptr;
    other.count_ = 0;
}

void UsbReadBlockList::clear() {
    while (head_) popFront();
}
