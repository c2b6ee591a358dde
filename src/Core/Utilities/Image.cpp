#include "Core/Utilities/Image.h"

#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <cstdlib>

#include <jpeglib.h>
#include <stb_image_resize.h>

namespace svsdk::image {

namespace {

bool fitsScaler(std::size_t width, std::size_t height) {
    return width > 0 && height > 0 && width <= INT_MAX / 4 && height <= INT_MAX;
}

// libjpeg reports fatal errors through error_exit, which must not return.
// It jumps back to the encoder; no C++ object lives between the two points.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

[[noreturn]] void jumpOnError(j_common_ptr info) {
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    std::longjmp(manager->jump, 1);
}

void ignoreMessage(j_common_ptr, int) {}
void ignoreOutput(j_common_ptr) {}

// Compresses `height` rows of `width` RGB pixels. On success `*out` is a
// malloc'ed buffer of `*outSize` bytes; on failure it is null.
void compress(const unsigned char* rgb, JDIMENSION width, JDIMENSION height, int quality, unsigned char** out,
              unsigned long* outSize) {
    jpeg_compress_struct info{};  // zeroed, so a failure before set-up is safe to destroy
    ErrorManager errors{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = jumpOnError;
    errors.base.emit_message = ignoreMessage;
    errors.base.output_message = ignoreOutput;
    *out = nullptr;
    *outSize = 0;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&info);
        std::free(*out);
        *out = nullptr;
        *outSize = 0;
        return;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, out, outSize);
    info.image_width = width;
    info.image_height = height;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<unsigned char*>(rgb + info.next_scanline * stride);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
}

}  // namespace

std::optional<std::pair<std::size_t, std::size_t>> sizeFitting(std::size_t width, std::size_t height,
                                                               double longerSide) {
    if (width == 0 || height == 0 || !(longerSide >= 1)) return std::nullopt;
    const double w = static_cast<double>(width);
    const double h = static_cast<double>(height);
    const double scale = longerSide / (w > h ? w : h);
    auto side = [](double value) { return static_cast<std::size_t>(std::max(1.0, std::round(value))); };
    return std::pair{side(w * scale), side(h * scale)};
}

std::optional<SVImage> scaled(const SVImage& image, std::size_t width, std::size_t height) {
    if (!image.isValid() || !fitsScaler(image.width(), image.height()) || !fitsScaler(width, height))
        return std::nullopt;
    std::vector<std::uint8_t> pixels(width * height * 4);
    const int done = stbir_resize_uint8_srgb(image.pixels().data(), static_cast<int>(image.width()),
                                             static_cast<int>(image.height()), 0, pixels.data(),
                                             static_cast<int>(width), static_cast<int>(height), 0, 4, 3, 0);
    if (!done) return std::nullopt;
    return SVImage(width, height, std::move(pixels));
}

std::optional<std::vector<std::uint8_t>> jpegData(const SVImage& image, int quality) {
    if (!image.isValid() || image.width() > JPEG_MAX_DIMENSION || image.height() > JPEG_MAX_DIMENSION)
        return std::nullopt;
    const std::size_t count = image.width() * image.height();
    std::vector<unsigned char> rgb(count * 3);
    const auto& rgba = image.pixels();
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned alpha = rgba[4 * i + 3];
        for (std::size_t c = 0; c < 3; ++c)
            rgb[3 * i + c] = static_cast<unsigned char>((rgba[4 * i + c] * alpha + 127) / 255);
    }
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    compress(rgb.data(), static_cast<JDIMENSION>(image.width()), static_cast<JDIMENSION>(image.height()),
             quality, &buffer, &size);
    if (!buffer) return std::nullopt;
    std::vector<std::uint8_t> data(buffer, buffer + size);
    std::free(buffer);
    return data;
}

}  // namespace svsdk::image
