#pragma once
// Enumerations that travel as text. Each such enumeration has a
// `rawValue(E)` overload giving its text and a specialisation of
// `fromRawValue<E>(text)` giving the case of a text (case-sensitive), or
// nothing for any other text.
#include <optional>
#include <string_view>

namespace svsdk {

template <class E>
std::optional<E> fromRawValue(std::string_view rawValue);

}  // namespace svsdk
