#pragma once
// User-perceived characters (extended grapheme clusters) of UTF-8 text.
#include <string_view>
#include <vector>

namespace svsdk {

// The text cut into its grapheme clusters, in order; each one views the
// given text. Malformed UTF-8 bytes count as characters of their own.
std::vector<std::string_view> graphemeClusters(std::string_view utf8);

}  // namespace svsdk
