#include "Core/Diagnostics/FatalError.h"

#include <cstdio>
#include <cstdlib>

namespace svsdk {

void fatalError(std::string_view message) noexcept {
    std::fprintf(stderr, "Fatal error: %.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    std::abort();
}

}  // namespace svsdk
