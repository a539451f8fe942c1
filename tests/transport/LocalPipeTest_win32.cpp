#include <gtest/gtest.h>

#include "foundation/LocalPipe.h"

TEST(LocalPipeAddress, NamedPipePrefixRule) {
    const std::pair<std::string, std::string> cases[] = {
        {"capture", "\\\\.\\pipe\\capture"},
        {"\\\\.\\pipe\\capture", "\\\\.\\pipe\\capture"},
        {"\\\\.\\pipe\\", "\\\\.\\pipe\\"},  // exactly the prefix: used unchanged
        {"\\\\.\\pipe", "\\\\.\\pipe\\\\\\.\\pipe"},
        {"a/b", "\\\\.\\pipe\\a/b"},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(vek::io::localPipeAddress(name), expected) << name;
}
