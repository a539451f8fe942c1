#pragma once
// Reads a synchronous handle on a thread of its own, so that the reader can be
// let go at once when the stream closes. Included by *_win32.cpp files only.
//
// Why: a synchronous ReadFile on a pipe or console handle cannot always be
// cancelled (Wine cannot interrupt one on a host pipe at all), and closing the
// handle under it would leave the reader to a recycled handle. The pump works
// on its own duplicate of the handle; close() releases the waiting reader at
// once, asks the system to cancel the pump's read where it can, and the pump
// closes its duplicate whenever that read returns. It reads only what a reader
// has asked for, never ahead.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/Win32.h"

namespace vek::io {

class ReadPump {
public:
    // Duplicates `source` and starts the thread. Null with the last error set.
    static std::shared_ptr<ReadPump> start(HANDLE source);
    ~ReadPump();

    // One reader at a time. Blocks until bytes arrive (returns at most size), the
    // input ends (0), it fails (all ones, last error set) or close() is called (0).
    size_t read(void* buffer, size_t size);
    // Any thread.
    void close();

private:
    static DWORD WINAPI threadMain(void* param);
    void run();

    static constexpr size_t kCapacity = 4096;

    std::mutex mutex_;
    std::condition_variable changed_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;  // the pump's duplicate; closed by the pump thread
    win::Handle thread_;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kCapacity);
    size_t begin_ = 0, end_ = 0;  // bytes read and not yet handed out
    DWORD wanted_ = 0;            // a reader's request, 0 when none
    bool ended_ = false;
    DWORD error_ = 0;
    bool closed_ = false;
};

}  // namespace vek::io
