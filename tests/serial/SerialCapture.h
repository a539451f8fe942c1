#pragma once
// What a serial capture wrote to its output, as the serial tests read it.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "session/Message.h"
#include "foundation/Error.h"
#include "serial/SerialController.h"
#include "support/MemoryTransport.h"

using Bytes = std::vector<uint8_t>;

// The bytes of the data messages, once at least n have come or 20 s have passed.
inline Bytes receivedData(const MemoryTransport& out, size_t n) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        Bytes output = out.output(), data = joinedPayloads(parseMessages(output), kMsgSerialData);
        if (data.size() >= n || std::chrono::steady_clock::now() > deadline) return data;
        out.waitForOutput(output.size() + 1, 1000);
    }
}

// The capture ended with exactly one error message, the last one, carrying `code`.
inline void expectEndedByOneError(const MemoryTransport& out, uint32_t code) {
    std::vector<HostMessage> got = parseMessages(out.output());
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](auto& m) { return m.code == kMsgError; }), 1);
    ASSERT_EQ(got.empty() ? -1 : got.back().code, kMsgError);
    EXPECT_EQ(vek::err::ErrorRef(got.back().payload.data(), got.back().payload.size()).code(), code);
}
