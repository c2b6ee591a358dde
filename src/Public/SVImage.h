#pragma once
// A decoded image that the host builds: width and height in pixels and the
// pixels as RGBA, 8 bits a channel, row after row from the top, without
// padding (4 * width * height bytes). Alpha is straight (not premultiplied).
#include <cstddef>
#include <cstdint>
#include <vector>

namespace svsdk {

class SVImage {
public:
    SVImage() = default;
    SVImage(std::size_t width, std::size_t height, std::vector<std::uint8_t> pixels)
        : width_(width), height_(height), pixels_(std::move(pixels)) {}

    std::size_t width() const { return width_; }
    std::size_t height() const { return height_; }
    const std::vector<std::uint8_t>& pixels() const { return pixels_; }

    // Both sides are non-zero and the pixels hold exactly 4 * width * height bytes.
    bool isValid() const {
        if (width_ == 0 || height_ == 0) return false;
        if (width_ > SIZE_MAX / 4 / height_) return false;
        return pixels_.size() == width_ * height_ * 4;
    }

private:
    std::size_t width_ = 0;
    std::size_t height_ = 0;
    std::vector<std::uint8_t> pixels_;
};

}  // namespace svsdk
