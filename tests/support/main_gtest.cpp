// The test programs start like the program itself: same process preparation.
#include <gtest/gtest.h>

#include "foundation/Process.h"

int main(int argc, char** argv) {
    vek::sys::prepareProcess();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
