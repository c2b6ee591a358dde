#pragma once
// The kind of an import text: what the host handed over (a QR code's text, a
// deep link, JSON, XML or line-based plain text) before anything is imported.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace svsdk {

class ImportSource {
public:
    enum Kind { plainText, json, xml, deepLink, unrecognized };

    constexpr ImportSource(Kind kind) noexcept : kind_(kind) {}  // NOLINT: a value of its own kind
    constexpr operator Kind() const noexcept { return kind_; }   // NOLINT: usable in switch

    // Decides the kind; the first test that holds wins:
    //   deepLink   the whole text parses as a URL reference (only characters
    //              allowed in a URL, well formed; the empty text does not);
    //   json       first character "{" and last "}";
    //   xml        first character "<" and last ">";
    //   plainText  the first line is exactly 3 characters long;
    //   otherwise unrecognized.
    // Characters are grapheme clusters; nothing is trimmed. Only the first
    // and the last character and the first line are read, so the memory used
    // does not grow with the text (but for the one passing copy that
    // URL::isValid makes of a text of many slashes). Logs in "Common".
    static ImportSource detect(std::string_view text);

    // The text's first `limit` lines, in order, without their terminators. A
    // line ends at "\n", "\r", "\r\n" (one terminator), U+0085, U+2028 or
    // U+2029; a final terminator does not open another line, so the empty
    // text has no lines. Nothing after the last line asked for is read.
    static std::vector<std::string> lines(std::string_view text, std::size_t limit);
    // Where each of those lines lies: its bytes [begin, end), then its
    // terminator [end, next) (empty for a last line without one).
    struct Line {
        std::size_t begin, end, next;
    };
    static std::vector<Line> lineRanges(std::string_view text, std::size_t limit);

    // The name the managers' success lines use: "Plain Text", "JSON", "XML",
    // "Deep Link"; empty for unrecognized.
    const char* displayName() const noexcept;

private:
    Kind kind_;
};

}  // namespace svsdk
