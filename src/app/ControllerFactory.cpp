#include "app/ControllerFactory.h"

#include "foundation/Error.h"
#include "fpga/EthernetPlimController.h"
#include "fpga/I2cPlimController.h"
#include "fpga/SerialPlimProController.h"
#include "fpga/SpiPlimController.h"
#include "serial/SerialController.h"
#include "usb/SerialPlimController.h"

std::unique_ptr<ControllerBase> createController(const Settings& settings) {
    switch (settings.hardwareKind) {
        case kHardwareSerial:
            return std::make_unique<SerialController>(&settings);
        case kHardwareSerialPlim:
            return std::make_unique<SerialPlimController>(&settings);
        case kHardwareI2cPlim:
            return std::make_unique<I2cPlimController>(&settings);
        case kHardwareSpiPlim:
            return std::make_unique<SpiPlimController>(&settings);
        case kHardwareSerialPlimPro:
            return std::make_unique<SerialPlimProController>(&settings);
        case kHardwareEthernetPlim:
            return std::make_unique<EthernetPlimController>(&settings);
        default:
            break;
    }
    vek::err::setStringError("unknown hardware");
    return nullptr;
}
