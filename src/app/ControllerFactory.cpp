#include "app/ControllerFactory.h"

#include "foundation/Error.h"
#include "serial/SerialController.h"
#include "usb/SerialPlimController.h"

std::unique_ptr<ControllerBase> createController(const Settings& settings) {
    switch (settings.hardwareKind) {
        case kHardwareSerial:
            return std::make_unique<SerialController>(&settings);
        case kHardwareSerialPlim:
            return std::make_unique<SerialPlimController>(&settings);
        // Each controller joins here as it is built:
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
