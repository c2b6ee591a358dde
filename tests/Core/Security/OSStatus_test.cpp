#include <gtest/gtest.h>

#include "Core/Security/OSStatus.h"

using namespace svsdk;

TEST(OSStatusTest, TableTextsCarryTheCodeAndUnknownCodesShowTheNumber) {
    EXPECT_EQ(osStatusErrorMessage(-25300), "The specified item could not be found in the keychain. (-25300)");
    EXPECT_EQ(osStatusErrorMessage(12345), "OSStatus: 12345");
    EXPECT_EQ(osStatusErrorMessage(-25299), "The specified item already exists in the keychain. (-25299)");
    EXPECT_EQ(osStatusErrorMessage(-25308), "User interaction is not allowed. (-25308)");
    EXPECT_EQ(osStatusErrorMessage(-2070), "errSecInternalComponent (-2070)");
    EXPECT_EQ(osStatusErrorMessage(0), "No error. (0)");
    EXPECT_EQ(osStatusErrorMessage(-25321), "OSStatus: -25321");
    // Every status the keychain store and the key code produce has a text.
    for (OSStatus status : {errSecSuccess, errSecIO, errSecParam, errSecAllocate, errSecInternalComponent,
                            errSecDuplicateItem, errSecItemNotFound, errSecDecode})
        EXPECT_NE(osStatusErrorMessage(status).rfind("OSStatus:", 0), 0u) << status;
    for (OSStatus status = -25320; status <= -25291; ++status)
        EXPECT_NE(osStatusErrorMessage(status).rfind("OSStatus:", 0), 0u) << status;
}
