// Every test process runs in its own temporary home: the SDK's default folders
// resolve below it, so no test reads or writes the real home directory.
#include <gtest/gtest.h>

#include "support/TestEnvironment.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    svsdk::testing::isolateProcess();
    int result = RUN_ALL_TESTS();
    svsdk::testing::cleanUpProcess();
    return result;
}
