#include "Core/Utilities/Image.h"

#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <exception>

#include <jpeglib.h>
#include <jerror.h>
// The resizer is compiled into this file, its functions private to it: the
// library links no stb library and exports none of its symbols.
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_STATIC
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

// Writes the compressed bytes straight into a vector, which grows as needed
// (the library's memory destination keeps a buffer of its own that an error
// part-way through would leave us unable to release safely).
struct VectorDestination {
    jpeg_destination_mgr base;
    std::vector<std::uint8_t>* out;
};

// Makes the whole vector from `used` on the library's free space; false when
// it cannot grow to `size`.
bool offer(j_compress_ptr info, std::size_t used, std::size_t size) {
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    try {
        destination->out->resize(size);
    } catch (const std::exception&) {
        return false;
    }
    destination->base.next_output_byte = destination->out->data() + used;
    destination->base.free_in_buffer = size - used;
    return true;
}

void startOutput(j_compress_ptr info) {
    if (!offer(info, 0, 64 * 1024)) ERREXIT(info, JERR_OUT_OF_MEMORY);
}

boolean growOutput(j_compress_ptr info) {
    // Called when the whole vector is full.
    const std::size_t used = reinterpret_cast<VectorDestination*>(info->dest)->out->size();
    if (!offer(info, used, used * 2)) ERREXIT(info, JERR_OUT_OF_MEMORY);
    return TRUE;
}

void finishOutput(j_compress_ptr info) {
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    destination->out->resize(destination->out->size() - destination->base.free_in_buffer);
}

// Compresses `height` rows of `width` RGB pixels into `out`; false (and `out`
// empty) when the library fails.
bool compress(const unsigned char* rgb, JDIMENSION width, JDIMENSION height, int quality,
              std::vector<std::uint8_t>& out) {
    jpeg_compress_struct info{};  // zeroed, so a failure before set-up is safe to destroy
    ErrorManager errors{};
    VectorDestination destination{};
    destination.out = &out;
    destination.base.init_destination = startOutput;
    destination.base.empty_output_buffer = growOutput;
    destination.base.term_destination = finishOutput;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = jumpOnError;
    errors.base.emit_message = ignoreMessage;
    errors.base.output_message = ignoreOutput;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&info);
        out.clear();
        return false;
    }
    jpeg_create_compress(&info);
    info.dest = &destination.base;
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
    return true;
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
    std::vector<std::uint8_t> data;
    if (!compress(rgb.data(), static_cast<JDIMENSION>(image.width()), static_cast<JDIMENSION>(image.height()),
                  quality, data))
        return std::nullopt;
    return data;
}

}  // namespace svsdk::image
