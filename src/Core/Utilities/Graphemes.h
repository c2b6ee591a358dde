#pragma once
// User-perceived characters (extended grapheme clusters) of UTF-8 text.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace svsdk {

// The text cut into its grapheme clusters, in order; each one views the
// given text. Malformed UTF-8 bytes count as characters of their own.
std::vector<std::string_view> graphemeClusters(std::string_view utf8);

// The grapheme clusters of a text one at a time, in order, with the same cuts
// as graphemeClusters but without holding them all: runs of ASCII are cut
// without asking ICU, so a long text costs one pass and no memory per
// character.
class GraphemeCursor {
public:
    explicit GraphemeCursor(std::string_view utf8);
    ~GraphemeCursor();
    GraphemeCursor(const GraphemeCursor&) = delete;
    GraphemeCursor& operator=(const GraphemeCursor&) = delete;

    // The next character, or nothing at the end of the text.
    std::optional<std::string_view> next();

private:
    struct Breaker;
    std::string_view text_;
    std::size_t offset_ = 0;
    std::unique_ptr<Breaker> breaker_;  // made on the first non-ASCII character
};

// The last `count` grapheme clusters of a text (all of them when it has
// fewer), in order, with the same cuts as graphemeClusters. Two ASCII
// characters other than CR LF always have a cut between them, so the text is
// cut from the last such places on: only the end of the text is read unless
// it has none.
std::vector<std::string_view> lastGraphemeClusters(std::string_view utf8, std::size_t count);

// The form in which two characters compare equal exactly when they are
// canonically equivalent: `character` itself when it is ASCII, already in
// normalization form C or not valid UTF-8; otherwise its NFC form, written
// to `buffer`.
std::string_view canonicalForm(std::string_view character, std::string& buffer);

}  // namespace svsdk
