#include <svsdk/SVExtendedAuth.h>

#include "Core/Security/Cryptor.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/Image.h"

namespace svsdk {

namespace {
constexpr double biometryLongerSide = 1024.0;
constexpr int biometryJPEGQuality = 80;
}  // namespace

std::string SVCodewordExtendedAuth::type() const { return "codeword"; }

std::string SVCodewordExtendedAuth::value() const { return hexString(Cryptor::sha256(codeword_.data(), codeword_.size())); }

std::string SVOzBiometryExtendedAuth::type() const { return "oz_biometry"; }

std::string SVOzBiometryExtendedAuth::value() const {
    if (!image_ || !image_->isValid()) return std::string();
    auto size = image::sizeFitting(image_->width(), image_->height(), biometryLongerSide);
    if (!size) return std::string();
    auto redrawn = image::scaled(*image_, size->first, size->second);
    if (!redrawn) return std::string();
    auto jpeg = image::jpegData(*redrawn, biometryJPEGQuality);
    if (!jpeg) return std::string();
    return base64Encode(jpeg->data(), jpeg->size());
}

}  // namespace svsdk
