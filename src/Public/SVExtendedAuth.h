#pragma once
// Templates of extended authentication that a host registers with a user's
// server: a type text and a value text, both computed at every read.
#include <memory>
#include <string>

#include "SVImage.h"

namespace svsdk {

class SVExtendedAuth {
public:
    virtual ~SVExtendedAuth() = default;
    virtual std::string type() const = 0;
    virtual std::string value() const = 0;
};

// A code word: type "codeword", value the SHA-256 of the word's UTF-8 bytes
// as 64 lowercase hex characters.
class SVCodewordExtendedAuth : public SVExtendedAuth {
public:
    explicit SVCodewordExtendedAuth(std::string codeword) : codeword_(std::move(codeword)) {}
    const std::string& codeword() const { return codeword_; }
    std::string type() const override;
    std::string value() const override;

private:
    std::string codeword_;
};

// A face image: type "oz_biometry", value the image scaled so that its
// longer side is 1024 pixels (the aspect ratio kept, smaller images scaled
// up), compressed as JPEG of quality 80 and encoded as Base64. An absent,
// empty or malformed image, or one that cannot be encoded, gives "".
class SVOzBiometryExtendedAuth : public SVExtendedAuth {
public:
    explicit SVOzBiometryExtendedAuth(std::shared_ptr<const SVImage> image) : image_(std::move(image)) {}
    const std::shared_ptr<const SVImage>& image() const { return image_; }
    std::string type() const override;
    std::string value() const override;

private:
    std::shared_ptr<const SVImage> image_;
};

}  // namespace svsdk
