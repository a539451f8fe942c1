#pragma once
// Notices that the reader of the capture fifo (Wireshark) has gone, also while
// no frame arrives to be written.

#include <atomic>
#include <string>

// Blocks until the fifo at `path` has no reader (true), or `watching` turns
// false (false). POSIX watches a descriptor of its own; on Windows a pipe
// whose reader went away shows at the next write instead, so this only waits.
bool waitForReaderGone(const std::string& path, const std::atomic<bool>& watching);
