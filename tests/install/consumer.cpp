// A program built against the installed SDK, to check that its headers, its
// CMake package and its pkg-config file are usable from outside the tree.
#include <svsdk/Common/SVSDK.h>
#include <svsdk/SVResult.h>

#include <cstdio>

int main() {
    svsdk::SVResult<int> failure = svsdk::SVError::invalidQR();
    bool ok = svsdk::SVSDK::analyze("203\n1") == svsdk::SVQRType::transaction &&
              failure.error().is(svsdk::SVError::Code::invalidQR) && !svsdk::SVSDK::version().empty();
    std::printf("svsdk %s: %s\n", svsdk::SVSDK::version().c_str(), ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
