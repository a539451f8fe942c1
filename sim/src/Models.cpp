// The table of device models a scenario can name. Models of real devices are
// added here; tests register their own at run time.
#include <map>
#include <mutex>

#include "Engine.h"
#include "FpgaModel.h"
#include "EzUsbModel.h"
#include "GenericModel.h"
#include "SerialPlimModel.h"

namespace qwsim {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, ModelFactory, std::less<>> factories{
        {"generic", [] { return std::make_unique<GenericModel>(); }},
        {"serialplim", [] { return std::make_unique<SerialPlimModel>(); }},
        {"fpga", [] { return std::make_unique<FpgaModel>(); }},
        {"ezusb", [] { return std::make_unique<EzUsbModel>(); }},
    };
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed, like the engine
    return *r;
}

}  // namespace

std::string DeviceModel::configure(const Statement& st, int) { return "unknown statement '" + st.words[0] + "'"; }

std::string DeviceModel::addEndpoint(const EndpointInfo& info) {
    return "this model has no endpoint " + hex8(info.address);
}

void registerModel(const std::string& name, ModelFactory factory) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.mutex);
    r.factories[name] = std::move(factory);
}

std::unique_ptr<DeviceModel> createModel(std::string_view name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.mutex);
    auto it = r.factories.find(name);
    return it == r.factories.end() ? nullptr : it->second();
}

}  // namespace qwsim
