// The simulated bus: enumeration, descriptors, references, handles, interfaces,
// and the libusb rules the simulator enforces for the tests built on it.
#include "SimFixture.h"

class SimBus : public SimTest {};

TEST_F(SimBus, ListsDevicesInScenarioOrderWithTheirDescriptors) {
    load(R"(device 16d0:0f3b serial=A
device 1234:0001
  descriptor unreadable access
device 16d0:0f3b
)");
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 3);
    EXPECT_EQ(list[3], nullptr);
    struct Expected {
        int result;
        uint16_t vid, pid;
        uint8_t serialIndex;
    } expected[] = {{0, 0x16d0, 0x0f3b, 3}, {LIBUSB_ERROR_ACCESS, 0, 0, 0}, {0, 0x16d0, 0x0f3b, 0}};
    for (int i = 0; i < 3; ++i) {
        libusb_device_descriptor d{};
        ASSERT_EQ(libusb_get_device_descriptor(list[i], &d), expected[i].result) << i;
        if (expected[i].result) continue;
        EXPECT_EQ(d.bDescriptorType, LIBUSB_DT_DEVICE);
        EXPECT_EQ(d.idVendor, expected[i].vid);
        EXPECT_EQ(d.idProduct, expected[i].pid);
        EXPECT_EQ(d.iSerialNumber, expected[i].serialIndex);
        EXPECT_EQ(libusb_get_device_address(list[i]), i + 1);
    }
    EXPECT_EQ(qwsim::counters().deviceRefs, 3);
    libusb_free_device_list(list, 1);
    EXPECT_EQ(qwsim::counters().deviceRefs, 0);
}

TEST_F(SimBus, OpenByVidPidSkipsUnreadableAndTakesTheFirstMatch) {
    load(R"(device 1:2 name=broken
  descriptor unreadable
device 1:2 name=first
  endpoint 0x02
device 1:2 name=second
)");
    libusb_device_handle* h = open(1, 2);
    ASSERT_NE(h, nullptr);
    uint8_t byte = 7;
    EXPECT_EQ(libusb_control_transfer(h, 0x40, 1, 0, 0, &byte, 1, 0), 1);
    EXPECT_EQ(recorded("control").at(0).substr(0, 18), "control dev=first ");
    EXPECT_EQ(qwsim::counters().deviceRefs, 1);  // the handle's own
    libusb_close(h);
    EXPECT_EQ(libusb_open_device_with_vid_pid(nullptr, 1, 3), nullptr);
}

TEST_F(SimBus, InjectedFailuresOfOpenClaimAndList) {
    struct Case {
        const char* scenario;
        int open, claim, list;
    } cases[] = {
        {"device 1:2\nfail open access\n", LIBUSB_ERROR_ACCESS, 0, 1},
        {"device 1:2\nfail claim busy\n", 0, LIBUSB_ERROR_BUSY, 1},
        {"fail list nomem\ndevice 1:2\n", 0, 0, LIBUSB_ERROR_NO_MEM},
    };
    for (const Case& c : cases) {
        load(c.scenario);
        libusb_device** list = nullptr;
        ssize_t n = libusb_get_device_list(nullptr, &list);
        EXPECT_EQ(n, c.list) << c.scenario;
        if (n == 1) {
            libusb_device_handle* h = nullptr;
            EXPECT_EQ(libusb_open(list[0], &h), c.open) << c.scenario;
            if (h) {
                EXPECT_EQ(libusb_claim_interface(h, 0), c.claim) << c.scenario;
            }
            libusb_close(h);
            libusb_free_device_list(list, 1);
        }
        exitContext();
    }
}

TEST_F(SimBus, RecordsWhatLibusbForbids) {
    load("device 1:2\nendpoint 0x81\n");
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
    libusb_device* dev = list[0];
    libusb_free_device_list(list, 1);
    libusb_unref_device(dev);  // one reference too many

    libusb_device_handle* h = open(1, 2);
    Read read(h, 0x81, 4);
    ASSERT_EQ(read.submit(), 0);
    EXPECT_EQ(read.submit(), LIBUSB_ERROR_BUSY);
    libusb_free_transfer(read.transfer);  // still in flight: kept and reported
    libusb_close(h);                      // the same
    libusb_cancel_transfer(read.transfer);
    ASSERT_TRUE(waitDone({&read}));
    EXPECT_EQ(read.status, LIBUSB_TRANSFER_CANCELLED);
    libusb_close(h);
    exitContext();
    libusb_exit(nullptr);

    EXPECT_EQ(recorded("misuse"), (std::vector<std::string>{
                                      "misuse libusb_unref_device of the unreferenced device dev0",
                                      "misuse libusb_free_transfer of a transfer in flight",
                                      "misuse libusb_close of dev0 with transfers in flight",
                                      "misuse libusb_exit without libusb_init",
                                  }));
    expectedMisuses = 4;
}
