#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>  // before jpeglib.h

#include <jpeglib.h>

#include <svsdk/SVExtendedAuth.h>
#include <svsdk/SVTransaction.h>

#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/Image.h"

using namespace svsdk;

namespace {

struct Decoded {
    unsigned width = 0;
    unsigned height = 0;
    int components = 0;
    std::vector<std::uint8_t> pixels;
};

struct DecodeErrors {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

[[noreturn]] void jumpOnError(j_common_ptr info) { std::longjmp(reinterpret_cast<DecodeErrors*>(info->err)->jump, 1); }

// Decodes a JPEG with libjpeg; false when it is not one.
bool decodeJPEG(const Bytes& data, Decoded& out) {
    jpeg_decompress_struct info;
    DecodeErrors errors;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = jumpOnError;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    out.width = info.output_width;
    out.height = info.output_height;
    out.components = info.output_components;
    out.pixels.resize(std::size_t(out.width) * out.height * out.components);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out.pixels.data() + std::size_t(info.output_scanline) * out.width * out.components;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

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

Decoded decodedValue(const SVOzBiometryExtendedAuth& auth) {
    std::string value = auth.value();
    EXPECT_EQ(value.find('\n'), std::string::npos);
    auto jpeg = base64Decode(value);
    Decoded decoded;
    EXPECT_TRUE(jpeg.has_value());
    if (jpeg) {
        EXPECT_TRUE(decodeJPEG(*jpeg, decoded));
    }
    return decoded;
}

}  // namespace

TEST(ExtendedAuthTest, CodewordIsTheHexSHA256OfItsText) {
    SVCodewordExtendedAuth word("Secret");
    EXPECT_EQ(word.type(), "codeword");
    EXPECT_EQ(word.type(), rawValue(SVExtendedAuthMethod::codeword));
    EXPECT_EQ(SVCodewordExtendedAuth("").value(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(SVCodewordExtendedAuth("abc").value(),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(word.value(), SVCodewordExtendedAuth("Secret").value());
    EXPECT_NE(word.value(), SVCodewordExtendedAuth("secret").value());
}

TEST(ExtendedAuthTest, BiometryImageIsRedrawnWithLongerSide1024) {
    SVOzBiometryExtendedAuth wide(solid(4000, 3000, 200, 30, 30));
    EXPECT_EQ(wide.type(), "oz_biometry");
    EXPECT_EQ(wide.type(), rawValue(SVExtendedAuthMethod::ozBiometry));
    Decoded a = decodedValue(wide);
    EXPECT_EQ(a.width, 1024u);
    EXPECT_EQ(a.height, 768u);
    EXPECT_EQ(a.components, 3);

    Decoded b = decodedValue(SVOzBiometryExtendedAuth(solid(500, 1000, 10, 120, 240)));
    EXPECT_EQ(b.width, 512u);
    EXPECT_EQ(b.height, 1024u);
    // The colour survives scaling and compression.
    const std::size_t middle = (std::size_t(512) * 512 + 256) * 3;
    ASSERT_GT(b.pixels.size(), middle + 2);
    EXPECT_NEAR(b.pixels[middle], 10, 6);
    EXPECT_NEAR(b.pixels[middle + 1], 120, 6);
    EXPECT_NEAR(b.pixels[middle + 2], 240, 6);

    Decoded c = decodedValue(SVOzBiometryExtendedAuth(solid(100, 100, 0, 0, 0)));
    EXPECT_EQ(c.width, 1024u);
    EXPECT_EQ(c.height, 1024u);

    Decoded thin = decodedValue(SVOzBiometryExtendedAuth(solid(1, 5000, 255, 255, 255)));
    EXPECT_EQ(thin.width, 1u);
    EXPECT_EQ(thin.height, 1024u);
}

TEST(ExtendedAuthTest, TransparentPixelsBecomeBlack) {
    Decoded d = decodedValue(SVOzBiometryExtendedAuth(solid(64, 64, 255, 255, 255, 0)));
    ASSERT_EQ(d.pixels.size(), std::size_t(1024) * 1024 * 3);
    EXPECT_LE(d.pixels[d.pixels.size() / 2], 4);
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
