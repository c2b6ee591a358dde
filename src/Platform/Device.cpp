#include "Platform/Device.h"

#include <sys/utsname.h>

#include <cstring>

#include "Platform/PlatformConfiguration.h"

namespace svsdk {

std::string UIDevice::modelIdentifier() {
    struct utsname info;
    std::memset(&info, 0, sizeof info);
    (void)::uname(&info);  // after a failure the record stays zero
    std::string text;
    // Every byte of the field counts, not only those before the first zero.
    for (char c : info.machine)
        if (c != '\0') text += c;
    return text;
}

std::optional<std::string> UIDevice::vendorIdentifier() { return platform::vendorIdentifier(); }

}  // namespace svsdk
