#include <gtest/gtest.h>

#include <stb_image.h>

#include <svsdk/SVExtendedAuth.h>
#include <svsdk/SVTransaction.h>

#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/Image.h"

using namespace svsdk;

namespace {

struct Decoded {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // RGB
};

std::shared_ptr<const SVImage> solid(std::size_t w, std::size_t h, std::uint8_t r, std::uint8_t g, std::uint8_t b,
                                     std::uint8_t a = 255) {
    std::vector<std::uint8_t> pixels(w * h * 4);
    for (std::size_t i = 0; i < w * h; ++i) {
        pixels[4 * i] = r;
        pixels[4 * i + 1] = g;
        pixels[4 * i + 2] = b;
        pixels[4 * i + 3] = a;
    }
    return std::make_shared<const SVImage>(w, h, std::move(pixels));
}

// The value read back as a JPEG by another decoder.
Decoded decodedValue(const SVOzBiometryExtendedAuth& auth) {
    Bytes jpeg = base64Decode(auth.value()).value_or(Bytes{});  // no line breaks either
    Decoded decoded;
    int components = 0;
    unsigned char* pixels = stbi_load_from_memory(jpeg.data(), static_cast<int>(jpeg.size()), &decoded.width,
                                                  &decoded.height, &components, 3);
    EXPECT_NE(pixels, nullptr) << "not a JPEG";
    EXPECT_EQ(components, 3) << "no alpha";
    if (pixels) decoded.pixels.assign(pixels, pixels + std::size_t(decoded.width) * decoded.height * 3);
    stbi_image_free(pixels);
    return decoded;
}

}  // namespace

TEST(ExtendedAuthTest, CodewordIsTheHexSHA256OfItsText) {
    SVCodewordExtendedAuth word("abc");
    EXPECT_EQ(word.type(), rawValue(SVExtendedAuthMethod::codeword));
    EXPECT_EQ(word.value(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_NE(SVCodewordExtendedAuth("Secret").value(), SVCodewordExtendedAuth("secret").value());
}

TEST(ExtendedAuthTest, BiometryImageIsRedrawnWithLongerSide1024AndTransparencyAsBlack) {
    EXPECT_EQ(SVOzBiometryExtendedAuth(nullptr).type(), rawValue(SVExtendedAuthMethod::ozBiometry));
    struct Case {
        std::shared_ptr<const SVImage> image;
        int width, height;
    } cases[] = {
        {solid(4000, 3000, 200, 30, 30), 1024, 768},
        {solid(100, 100, 0, 0, 0), 1024, 1024},
        {solid(1, 5000, 255, 255, 255), 1, 1024},
    };
    for (const auto& c : cases) {
        Decoded d = decodedValue(SVOzBiometryExtendedAuth(c.image));
        EXPECT_EQ(d.width, c.width);
        EXPECT_EQ(d.height, c.height);
    }

    // The colour survives scaling and compression.
    Decoded b = decodedValue(SVOzBiometryExtendedAuth(solid(500, 1000, 10, 120, 240)));
    EXPECT_EQ(b.width, 512);
    EXPECT_EQ(b.height, 1024);
    const std::size_t middle = (std::size_t(512) * 512 + 256) * 3;
    ASSERT_GT(b.pixels.size(), middle + 2);
    EXPECT_NEAR(b.pixels[middle], 10, 6);
    EXPECT_NEAR(b.pixels[middle + 1], 120, 6);
    EXPECT_NEAR(b.pixels[middle + 2], 240, 6);

    Decoded transparent = decodedValue(SVOzBiometryExtendedAuth(solid(64, 64, 255, 255, 255, 0)));
    ASSERT_EQ(transparent.pixels.size(), std::size_t(1024) * 1024 * 3);
    EXPECT_LE(transparent.pixels[transparent.pixels.size() / 2], 4);
}

TEST(ExtendedAuthTest, UnusableImagesGiveTheEmptyText) {
    EXPECT_EQ(SVOzBiometryExtendedAuth(nullptr).value(), "");
    EXPECT_EQ(SVOzBiometryExtendedAuth(std::make_shared<const SVImage>()).value(), "");
    EXPECT_EQ(SVOzBiometryExtendedAuth(std::make_shared<const SVImage>(0, 10, std::vector<std::uint8_t>{})).value(), "");
    // Pixels that do not match the size.
    EXPECT_EQ(SVOzBiometryExtendedAuth(std::make_shared<const SVImage>(10, 10, std::vector<std::uint8_t>(399))).value(),
              "");
    // A size whose pixel count overflows.
    EXPECT_EQ(SVOzBiometryExtendedAuth(
                  std::make_shared<const SVImage>(SIZE_MAX / 2, 4, std::vector<std::uint8_t>(16)))
                  .value(),
              "");
    // Beyond what the encoder takes.
    EXPECT_EQ(image::jpegData(SVImage(70000, 1, std::vector<std::uint8_t>(70000 * 4)), 80), std::nullopt);
}
