#include "app/ControllerFactory.h"

#include "foundation/Error.h"
#include "serial/SerialController.h"

std::unique_ptr<ControllerBase> createController(const Settings& settings) {
    switch (settings.hardwareKind) {
        case kHardwareSerial:
            return std::make_unique<SerialController>(&settings);
        // Each controller joins here as it is built:
        //   kHardwareSerialPlim    -> SerialPlimController
        //   kHardwareI2cPlim       -> I2cPlimController
        //   kHardwareSpiPlim       -> SpiPlimController
        //   kHardwareEthernetPlim  -> EthernetPlimController
        //   kHardwareSerialPlimPro -> SerialPlimProController
        default:
            break;
    }
    vek::err::setStringError("unknown hardware");
    return nullptr;
}
