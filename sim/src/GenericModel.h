#pragma once
// The generic test device: endpoints as the scenario declares them, IN endpoints
// that deliver literal bytes, files and generated patterns (in chunks, at a rate),
// OUT endpoints that take everything, and canned answers to control requests.

#include <map>
#include <vector>

#include "qwsim/DeviceModel.h"

namespace qwsim {

class GenericModel final : public DeviceModel {
public:
    std::string configure(const Statement& st, int endpoint) override;
    std::string addEndpoint(const EndpointInfo& info) override;
    std::vector<EndpointInfo> endpoints() const override { return endpoints_; }
    int control(const ControlSetup& setup, uint8_t* data, SimTime now) override;
    InData readIn(uint8_t endpoint, uint8_t* buffer, size_t room, SimTime now) override;
    void readRequested(uint8_t endpoint, SimTime now) override;
    int writeOut(uint8_t endpoint, const uint8_t* data, size_t length, SimTime now) override;

private:
    static constexpr uint64_t kEndless = UINT64_MAX;

    struct Item {
        enum Kind { Bytes, Counter, Random, Fill } kind = Bytes;
        std::vector<uint8_t> bytes;
        uint64_t count = 0;  // for the generated kinds; kEndless for no end
        uint32_t seed = 1;
        uint8_t fill = 0;

        uint64_t size() const { return kind == Bytes ? bytes.size() : count; }
    };

    // What one IN endpoint sends, and how far it got.
    struct Source {
        enum End { Silent, Zlp, Stall, Repeat };
        std::vector<Item> items;
        uint64_t chunk = 0;  // bytes per packet burst; 0: no bursts
        double rate = 0;     // bytes per simulated second; 0: as fast as read
        End end = Silent;

        size_t item = 0;
        uint64_t offset = 0;  // inside the current item
        uint32_t random = 0;
        uint64_t delivered = 0;
        uint64_t chunkLeft = 0;
        bool started = false;
        SimTime start = 0;

        size_t produce(uint8_t* out, size_t room);
        uint64_t remaining() const;  // kEndless when an endless item lies ahead
        uint64_t total() const;      // of all items
        bool exhausted() const { return item >= items.size(); }
    };

    struct Reply {
        uint8_t requestType = 0;
        uint8_t request = 0;
        int value = -1;  // -1: any
        int index = -1;
        std::vector<uint8_t> bytes;
    };

    std::string configureSource(Source& s, const Statement& st);
    std::string configureReply(const Statement& st);

    std::vector<EndpointInfo> endpoints_;
    std::map<uint8_t, Source> sources_;
    std::vector<Reply> replies_;
};

}  // namespace qwsim
