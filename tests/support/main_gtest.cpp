// The test programs start like the program itself: same process preparation.
#include <gtest/gtest.h>

#include <cstdlib>

#include "foundation/Process.h"
#include "support/hang/HangWatch.h"

int main(int argc, char** argv) {
    vek::sys::prepareProcess();
    testing::InitGoogleTest(&argc, argv);
    // Below ctest's limit of 300 s for a whole program; QW_TEST_HANG_SECONDS sets another.
    const char* limit = std::getenv("QW_TEST_HANG_SECONDS");
    watchForHangs(testing::UnitTest::GetInstance()->listeners(), std::chrono::seconds(limit ? std::atoi(limit) : 200));
    return RUN_ALL_TESTS();
}
