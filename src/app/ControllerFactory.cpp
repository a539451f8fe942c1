#include "app/ControllerFactory.h"

#include "foundation/Error.h"

std::unique_ptr<ControllerBase> createController(const Settings& settings) {
    switch (settings.hardwareKind) {
        // Each controller joins here as it is built:
        //   kHardwareSerial        -> SerialController
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
