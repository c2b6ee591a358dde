#include <gtest/gtest.h>

#include "Platform/OSStatus.h"

using namespace svsdk;

TEST(OSStatusTest, TableTextsCarryTheCodeAndUnknownCodesShowTheNumber) {
    EXPECT_EQ(osStatusErrorMessage(-25300), "The specified item could not be found in the keychain. (-25300)");
    EXPECT_EQ(osStatusErrorMessage(12345), "OSStatus: 12345");
    EXPECT_EQ(osStatusErrorMessage(-25321), "OSStatus: -25321");
    // Every status the keychain store and the key code produce has a text.
    for (OSStatus status : {errSecSuccess, errSecIO, errSecParam, errSecAllocate, errSecInternalComponent,
                            errSecDuplicateItem, errSecItemNotFound, errSecDecode})
        EXPECT_NE(osStatusErrorMessage(status).rfind("OSStatus:", 0), 0u) << status;
    for (OSStatus status = -25320; status <= -25291; ++status)
        EXPECT_NE(osStatusErrorMessage(status).rfind("OSStatus:", 0), 0u) << status;
}
