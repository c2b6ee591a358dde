#include <gtest/gtest.h>

#include "Core/Utilities/Encoding.h"

using namespace svsdk;

TEST(HexTest, ReadsPairsOfEitherCaseAndRefusesAnythingElse) {
    auto empty = bytesFromHex("");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(bytesFromHex("0A1b"), (Bytes{0x0a, 0x1b}));
    EXPECT_EQ(bytesFromHex("00ffFF7f"), (Bytes{0x00, 0xff, 0xff, 0x7f}));
    EXPECT_FALSE(bytesFromHex("abc"));
    EXPECT_FALSE(bytesFromHex("0g"));
    EXPECT_FALSE(bytesFromHex("0a0g"));  // no partial data
    EXPECT_FALSE(bytesFromHex(" 0a"));
    EXPECT_FALSE(bytesFromHex("+1"));
    EXPECT_FALSE(bytesFromHex("0x"));
}

TEST(HexTest, WritesLowercaseTwoDigitsAByte) {
    EXPECT_EQ(hexString(Bytes{}), "");
    EXPECT_EQ(hexString(Bytes{0x00, 0x0a, 0xab, 0xff}), "000aabff");
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(bytesFromHex(hexString(all)), all);
}

TEST(Base64Test, EncodesWithPaddingAndNoLineBreaks) {
    EXPECT_EQ(base64Encode(bytesOf("")), "");
    EXPECT_EQ(base64Encode(bytesOf("f")), "Zg==");
    EXPECT_EQ(base64Encode(bytesOf("fo")), "Zm8=");
    EXPECT_EQ(base64Encode(bytesOf("foo")), "Zm9v");
    EXPECT_EQ(base64Encode(bytesOf("foobar")), "Zm9vYmFy");
    EXPECT_EQ(base64Encode(Bytes{0xfb, 0xff, 0xfe}), "+//+");
    std::string encoded = base64Encode(Bytes(200, 0x41));
    EXPECT_EQ(encoded.find('\n'), std::string::npos);
    EXPECT_EQ(encoded.size(), 268u);
}

TEST(Base64Test, RoundTripsEveryShortLength) {
    for (std::size_t length = 0; length <= 5; ++length) {
        Bytes bytes(length);
        for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(0xf0 + 7 * i);
        auto decoded = base64Decode(base64Encode(bytes));
        ASSERT_TRUE(decoded) << length;
        EXPECT_EQ(*decoded, bytes) << length;
    }
}

TEST(Base64Test, DecodingRefusesAnythingOutsideTheStrictForm) {
    EXPECT_EQ(base64Decode("Zm9vYmFy"), bytesOf("foobar"));
    EXPECT_EQ(base64Decode("+//+"), (Bytes{0xfb, 0xff, 0xfe}));
    const char* refused[] = {
        "Zm9v YmFy",   // inner space
        "Zm9vYmFy\n",  // trailing line break
        " Zm9v",       // leading space
        "Zm9v\tYmFy",  // tab
        "Zm9-",        // URL-safe alphabet
        "Zm9_",
        "Zm9*",
        "Zg=",         // padding short of a multiple of four
        "Zg",          // unpadded
        "Zm9vY",       // wrong length
        "Z===",        // too much padding
        "====",
        "Zg=a",        // data after padding
        "Z=g=",
        "Zg==Zg==",    // padding inside
    };
    for (const char* text : refused) EXPECT_FALSE(base64Decode(text)) << '"' << text << '"';
    std::string withNul("Zm9v", 4);
    withNul[2] = '\0';
    EXPECT_FALSE(base64Decode(withNul));
}
