#include "Core/Importing/ImportSource.h"

#include <optional>

#include "Core/Logger.h"
#include "Core/Utilities/Graphemes.h"
#include "Core/Utilities/URL.h"

namespace svsdk {
namespace {

// Length in bytes of the line terminator at `i`, or 0 when none starts there.
std::size_t terminatorAt(std::string_view text, std::size_t i) {
    switch (static_cast<unsigned char>(text[i])) {
        case '\n':
            return 1;
        case '\r':
            return i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
        case 0xC2:  // U+0085 NEXT LINE
            return text.substr(i, 2) == "\xC2\x85" ? 2 : 0;
        case 0xE2:  // U+2028 LINE SEPARATOR, U+2029 PARAGRAPH SEPARATOR
            return text.substr(i, 3) == "\xE2\x80\xA8" || text.substr(i, 3) == "\xE2\x80\xA9" ? 3 : 0;
        default:
            return 0;
    }
}

// The first line, or nothing when the text has no line.
std::optional<std::string_view> firstLine(std::string_view text) {
    if (text.empty()) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (terminatorAt(text, i) > 0) return text.substr(0, i);
    return text;
}

}  // namespace

std::vector<ImportSource::Line> ImportSource::lineRanges(std::string_view text, std::size_t limit) {
    std::vector<Line> result;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size() && result.size() < limit;) {
        if (std::size_t length = terminatorAt(text, i); length > 0) {
            result.push_back({start, i, i + length});
            i += length;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size() && result.size() < limit) result.push_back({start, text.size(), text.size()});
    return result;
}

std::vector<std::string> ImportSource::lines(std::string_view text, std::size_t limit) {
    std::vector<std::string> result;
    for (const Line& line : lineRanges(text, limit)) result.emplace_back(text.substr(line.begin, line.end - line.begin));
    return result;
}

ImportSource ImportSource::detect(std::string_view text) {
    Logger::log(SVLogCategory::common, "Checking the source type");
    if (URL::isValid(text)) {
        Logger::log(SVLogCategory::common, "Deep link is recognized");
        return deepLink;
    }
    // Only the first and the last character and the first line are read.
    GraphemeCursor cursor(text);
    if (auto first = cursor.next()) {
        auto lastIs = [&](std::string_view character) {
            auto last = lastGraphemeClusters(text, 1);
            return !last.empty() && last.back() == character;
        };
        if (*first == "{" && lastIs("}")) {
            Logger::log(SVLogCategory::common, "JSON is recognized");
            return json;
        }
        if (*first == "<" && lastIs(">")) {
            Logger::log(SVLogCategory::common, "XML is recognized");
            return xml;
        }
    }
    if (auto line = firstLine(text)) {
        GraphemeCursor characters(*line);
        std::size_t count = 0;
        while (count < 4 && characters.next()) ++count;
        if (count == 3) {
            Logger::log(SVLogCategory::common, "Plain text is recognized");
            return plainText;
        }
    }
    return unrecognized;
}

const char* ImportSource::displayName() const noexcept {
    switch (kind_) {
        case plainText: return "Plain Text";
        case json: return "JSON";
        case xml: return "XML";
        case deepLink: return "Deep Link";
        case unrecognized: break;
    }
    return "";
}

}  // namespace svsdk
