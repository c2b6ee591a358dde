#include <gtest/gtest.h>

#include <stb_image.h>

#include <svsdk/SVExtendedAuth.h>
#include <svsdk/SVTransaction.h>

#include "Core/Utilities/Encoding.h"

using namespace svsdk;

// A codeword is the hex SHA-256 of its text; an image is redrawn as a JPEG
// (read back by another decoder) with longer side 1024, the colour kept and
// transparency drawn as black; an unusable image gives "".
TEST(ExtendedAuthTest, CodewordAndBiometryValues) {
    EXPECT_EQ(SVCodewordExtendedAuth("abc").type(), rawValue(SVExtendedAuthMethod::codeword));
    EXPECT_EQ(SVCodewordExtendedAuth("abc").value(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(SVOzBiometryExtendedAuth(nullptr).type(), rawValue(SVExtendedAuthMethod::ozBiometry));
    auto solid = [](std::size_t w, std::size_t h, std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a = 255) {
        std::vector<std::uint8_t> pixels;
        for (std::size_t i = 0; i < w * h; ++i) pixels.insert(pixels.end(), {r, g, b, a});
        return std::make_shared<const SVImage>(w, h, std::move(pixels));
    };
    std::tuple<std::shared_ptr<const SVImage>, int, int, int> cases[] = {  // image, width, height, middle's green
        {solid(4000, 3000, 200, 30, 30), 1024, 768, 30}, {solid(1, 5000, 255, 255, 255), 1, 1024, 255},
        {solid(500, 1000, 10, 120, 240), 512, 1024, 120}, {solid(64, 64, 255, 255, 255, 0), 1024, 1024, 0},
        {nullptr, 0, 0, 0}, {std::make_shared<const SVImage>(), 0, 0, 0},
        {std::make_shared<const SVImage>(10, 10, std::vector<std::uint8_t>(399)), 0, 0, 0},  // too few pixels
        {std::make_shared<const SVImage>(SIZE_MAX / 2, 4, std::vector<std::uint8_t>(16)), 0, 0, 0},  // overflows
    };
    for (const auto& [image, width, height, green] : cases) {
        const std::string value = SVOzBiometryExtendedAuth(image).value();
        if (width == 0) {
            EXPECT_EQ(value, "");
            continue;
        }
        Bytes jpeg = base64Decode(value).value_or(Bytes{});  // no line breaks either
        int w = 0, h = 0, components = 0;
        unsigned char* pixels = stbi_load_from_memory(jpeg.data(), static_cast<int>(jpeg.size()), &w, &h, &components, 3);
        ASSERT_NE(pixels, nullptr) << "not a JPEG";
        EXPECT_TRUE(components == 3 && w == width && h == height) << components << " " << w << "x" << h;
        EXPECT_NEAR(pixels[(std::size_t(w) * (h / 2) + w / 2) * 3 + 1], green, 6) << w << "x" << h;
        stbi_image_free(pixels);
    }
}
