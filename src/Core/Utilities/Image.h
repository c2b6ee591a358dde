#pragma once
// Scaling and JPEG compression of host images.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <svsdk/SVImage.h>

namespace svsdk::image {

// The size that makes the longer side `longerSide` pixels with the aspect
// ratio kept (each side rounded to the nearest pixel, at least 1). None for
// an image with a zero side.
std::optional<std::pair<std::size_t, std::size_t>> sizeFitting(std::size_t width, std::size_t height,
                                                               double longerSide);

// The image resampled to the given size (sRGB-aware, alpha-weighted). None
// for an invalid image, a zero size, or sizes beyond the scaler's range.
std::optional<SVImage> scaled(const SVImage& image, std::size_t width, std::size_t height);

// Baseline JPEG of the image at `quality` (0 to 100). Transparent pixels are
// composited over black, as a premultiplied bitmap without alpha shows them.
// None when the image is invalid or the encoder fails.
std::optional<std::vector<std::uint8_t>> jpegData(const SVImage& image, int quality);

}  // namespace svsdk::image
