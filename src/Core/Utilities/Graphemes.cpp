#include "Core/Utilities/Graphemes.h"

#include <climits>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace svsdk {

std::vector<std::string_view> graphemeClusters(std::string_view utf8) {
    std::vector<std::string_view> clusters;
    GraphemeCursor cursor(utf8);
    while (auto character = cursor.next()) clusters.push_back(*character);
    return clusters;
}

std::vector<std::string_view> lastGraphemeClusters(std::string_view utf8, std::size_t count) {
    if (count == 0) return {};
    // Each place where two ASCII characters (not CR LF) meet begins a
    // cluster, so from the `count`-th last of them on there are at least
    // `count` clusters; before the first such place the whole text is cut.
    auto isASCII = [&](std::size_t i) { return static_cast<unsigned char>(utf8[i]) < 0x80; };
    std::size_t from = utf8.size(), found = 0;
    while (from > 1 && found < count) {
        --from;
        if (isASCII(from) && isASCII(from - 1) && !(utf8[from - 1] == '\r' && utf8[from] == '\n')) ++found;
    }
    if (found < count) from = 0;
    std::vector<std::string_view> clusters;
    GraphemeCursor cursor(utf8.substr(from));
    while (auto character = cursor.next()) {
        if (clusters.size() == count) clusters.erase(clusters.begin());
        clusters.push_back(*character);
    }
    return clusters;
}

struct GraphemeCursor::Breaker {
    std::unique_ptr<UText, decltype(&utext_close)> text{nullptr, &utext_close};
    std::unique_ptr<icu::BreakIterator> iterator;
    bool usable = false;

    explicit Breaker(std::string_view utf8) {
        if (utf8.size() > static_cast<std::size_t>(INT32_MAX)) return;
        UErrorCode status = U_ZERO_ERROR;
        // A UTF-8 UText keeps native indexes as byte offsets into the text.
        text.reset(utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status));
        iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_SUCCESS(status)) iterator->setText(text.get(), status);
        usable = U_SUCCESS(status);
    }
};

GraphemeCursor::GraphemeCursor(std::string_view utf8) : text_(utf8) {}
GraphemeCursor::~GraphemeCursor() = default;

std::optional<std::string_view> GraphemeCursor::next() {
    const std::size_t size = text_.size();
    if (offset_ >= size) return std::nullopt;
    const std::size_t start = offset_;
    const auto byte = static_cast<unsigned char>(text_[start]);
    const bool nextIsASCII = start + 1 >= size || static_cast<unsigned char>(text_[start + 1]) < 0x80;
    std::size_t end;
    if (byte == '\r' && start + 1 < size && text_[start + 1] == '\n') {
        end = start + 2;  // CR LF is one character; a break always follows LF
    } else if (byte < 0x80 && nextIsASCII) {
        end = start + 1;  // between two ASCII characters (but CR LF) there is always a break
    } else {
        if (!breaker_) breaker_ = std::make_unique<Breaker>(text_);
        if (breaker_->usable) {
            int32_t boundary = breaker_->iterator->following(static_cast<int32_t>(start));
            end = boundary == icu::BreakIterator::DONE ? size : static_cast<std::size_t>(boundary);
        } else {
            // Without ICU's rules every byte stands alone; ICU fails only when
            // its data is missing, which a working installation never shows.
            end = start + 1;
        }
    }
    offset_ = end;
    return text_.substr(start, end - start);
}

std::string_view canonicalForm(std::string_view character, std::string& buffer) {
    bool ascii = true;
    for (char c : character)
        if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
    if (ascii || character.size() > 4096) return character;
    // Bytes that are not UTF-8 equal only themselves.
    const auto* s = reinterpret_cast<const uint8_t*>(character.data());
    const auto length = static_cast<int32_t>(character.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0) return character;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return character;
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(character.data(), length));
    if (nfc->isNormalized(text, status) || U_FAILURE(status)) return character;
    status = U_ZERO_ERROR;
    icu::UnicodeString normalized = nfc->normalize(text, status);
    if (U_FAILURE(status)) return character;
    buffer.clear();
    normalized.toUTF8String(buffer);
    return buffer;
}

}  // namespace svsdk
