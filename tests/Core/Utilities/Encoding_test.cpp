#include <gtest/gtest.h>

#include "Core/Utilities/Encoding.h"

using namespace svsdk;

TEST(HexTest, ReadsPairsOfEitherCaseAndRefusesAnythingElse) {
    EXPECT_EQ(bytesFromHex(""), Bytes{}) << "empty bytes, not nothing";
    EXPECT_EQ(bytesFromHex("0A1b"), (Bytes{0x0a, 0x1b}));
    EXPECT_EQ(bytesFromHex("00ffFF7f"), (Bytes{0x00, 0xff, 0xff, 0x7f}));
    for (const char* refused : {"abc", "0g", "0a0g", " 0a", "+1", "0x"})  // no partial data
        EXPECT_FALSE(bytesFromHex(refused)) << refused;

    EXPECT_EQ(hexString(Bytes{0x00, 0x0a, 0xab, 0xff}), "000aabff");
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(bytesFromHex(hexString(all)), all);
}

TEST(Base64Test, EncodesWithPaddingAndNoLineBreaksAndRoundTrips) {
    EXPECT_EQ(base64Encode(bytesOf("")), "");
    EXPECT_EQ(base64Encode(bytesOf("f")), "Zg==");
    EXPECT_EQ(base64Encode(bytesOf("fo")), "Zm8=");
    EXPECT_EQ(base64Encode(bytesOf("foobar")), "Zm9vYmFy");
    EXPECT_EQ(base64Encode(Bytes{0xfb, 0xff, 0xfe}), "+//+");
    EXPECT_EQ(base64Encode(Bytes(200, 0x41)).size(), 268u) << "no line breaks";
    for (std::size_t length = 0; length <= 5; ++length) {
        Bytes bytes(length);
        for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(0xf0 + 7 * i);
        EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes) << length;
    }
}

TEST(Base64Test, DecodingRefusesAnythingOutsideTheStrictForm) {
    EXPECT_EQ(base64Decode("+//+"), (Bytes{0xfb, 0xff, 0xfe}));
    const char* refused[] = {
        "Zm9v YmFy", "Zm9vYmFy\n", " Zm9v", "Zm9v\tYmFy",  // white space
        "Zm9-", "Zm9_", "Zm9*",                            // outside the alphabet
        "Zg=", "Zg", "Zm9vY",                              // not a multiple of four
        "Z===", "====", "Zg=a", "Z=g=", "Zg==Zg==",        // padding out of place
    };
    for (const char* text : refused) EXPECT_FALSE(base64Decode(text)) << '"' << text << '"';
    EXPECT_FALSE(base64Decode(std::string("Zm\0v", 4)));
}
