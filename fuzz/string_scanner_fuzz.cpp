// The public string scanner with identifiers and terminators taken from the input: up to the
// first 0x1F byte an identifier, up to the next a terminator, the rest is the text; the first
// byte's bits choose prefix, suffix and multiple matches.
#include <cstdlib>
#include <string>
#include <vector>

#include <svsdk/SVStringScanner.h>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = svsdk::fuzz::text(data, size);
    if (input.empty()) return 0;
    const auto flags = static_cast<unsigned char>(input[0]);
    input.remove_prefix(1);
    auto cut = [&]() {
        auto at = input.find('\x1f');
        auto part = input.substr(0, at);
        input.remove_prefix(at == std::string_view::npos ? input.size() : at + 1);
        return std::string(part);
    };
    std::string identifier = cut(), terminator = cut();
    std::vector<svsdk::Identifier> identifiers{svsdk::Identifier(identifier, flags & 1), svsdk::Identifier("<"),
                                               svsdk::Identifier::start()};
    std::vector<svsdk::Terminator> terminators{svsdk::Terminator(terminator, flags & 2), svsdk::Terminator(">"),
                                               svsdk::Terminator::end()};
    if (flags & 8) std::swap(identifiers[0], identifiers[2]);
    if (flags & 16) std::swap(terminators[0], terminators[2]);
    std::size_t characters = input.size();
    svsdk::scan(input, {svsdk::Matcher(identifiers, terminators, flags & 4,
                                       [&](const svsdk::Substring& content, svsdk::ClosedRange span) {
                                           // The content lies in the text, inside its span.
                                           if (content.text.empty() || content.text.data() < input.data() ||
                                               content.text.data() + content.text.size() > input.data() + input.size() ||
                                               span.lowerBound > content.positions.lowerBound ||
                                               content.positions.upperBound > span.upperBound ||
                                               span.upperBound >= characters)
                                               std::abort();
                                       }),
                        svsdk::Matcher(svsdk::Identifier(terminator), svsdk::Terminator(identifier), true, nullptr)});
    return 0;
}
