#include <gtest/gtest.h>

#include <string>

#include "LuaTables.h"

TEST(LuaTables, FillTheTemplatesMarkedLine) {
    EXPECT_EQ(fillTemplate("no mark here\n"), "");
    std::string lua = fillTemplate("-- before\n@TABLES@\n-- after\n");
    EXPECT_EQ(lua.rfind("-- before\n", 0), 0u);
    EXPECT_EQ(lua.substr(lua.size() - 9), "-- after\n");
    EXPECT_EQ(lua.find("@TABLES@"), std::string::npos);
    // The I2C Plim (3) has its address message with the fields qwdump reads.
    size_t i2c = lua.find("  [3] = {\n");
    size_t address = lua.find("[0x0b] = {name = \"i2c-address\"", i2c);
    ASSERT_NE(address, std::string::npos);
    EXPECT_NE(lua.find("{key = \"address\", filter = \"i2c.address\", kind = \"unsigned\", at = 0, width = 1, mask = 0xfe, "
                       "shift = 1, digits = 2}",
                       address),
              std::string::npos);
    // The USB domain's texts are the program's own, past its codes too.
    EXPECT_NE(lua.find("[-4] = \"No such device (it may have been disconnected)\""), std::string::npos);
    EXPECT_NE(lua.find("other_error = \"Other error\", other_status = \"Other transfer error\""), std::string::npos);
}
