#pragma once
// A one-pass scanner that cuts the parts between opening and closing strings
// out of a text. Characters are user-perceived characters (extended grapheme
// clusters of UTF-8); two characters are equal when they are canonically
// equivalent. Positions count characters from 0 (or from the first position
// of a scanned slice).
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace svsdk {

// The string that opens a match.
struct Identifier {
    std::string string;
    // True: the identifier may only begin at the first character of the text.
    bool isPrefix = false;

    Identifier(std::string string, bool isPrefix = false) : string(std::move(string)), isPrefix(isPrefix) {}
    Identifier(const char* string) : string(string) {}  // a literal: anywhere in the text

    static Identifier prefix(std::string string) { return Identifier(std::move(string), true); }
    static Identifier anyString(std::string string) { return Identifier(std::move(string), false); }
    // The start of the text: the content begins with the first character.
    static Identifier start() { return Identifier(std::string(), true); }
};

// The string that closes a match.
struct Terminator {
    std::string string;
    // True: counts only where its last character is the last of the text.
    bool isSuffix = false;

    Terminator(std::string string, bool isSuffix = false) : string(std::move(string)), isSuffix(isSuffix) {}
    Terminator(const char* string) : string(string) {}  // a literal: anywhere in the text

    static Terminator suffix(std::string string) { return Terminator(std::move(string), true); }
    static Terminator anyString(std::string string) { return Terminator(std::move(string), false); }
    // The end of the text: the content runs through the last character.
    static Terminator end() { return Terminator(std::string(), true); }
};

// A closed range of positions: both ends included.
struct ClosedRange {
    std::size_t lowerBound = 0;
    std::size_t upperBound = 0;
    friend bool operator==(const ClosedRange&, const ClosedRange&) = default;
};

// A part of a text: a view of its bytes (sharing the text's storage) and the
// positions of its first and last characters in that text.
struct Substring {
    std::string_view text;
    ClosedRange positions;
};

// One scanning rule.
struct Matcher {
    // Called with the content (never empty) and the span from the first
    // character of the identifier through the last of the terminator.
    using Handler = std::function<void(const Substring& content, ClosedRange span)>;

    std::vector<Identifier> identifiers;  // in order of precedence
    std::vector<Terminator> terminators;  // in order of precedence
    bool allowMultipleMatches;            // false: stops after its first reported match
    Handler handler;

    Matcher(std::vector<Identifier> identifiers, std::vector<Terminator> terminators, bool allowMultipleMatches,
            Handler handler)
        : identifiers(std::move(identifiers)),
          terminators(std::move(terminators)),
          allowMultipleMatches(allowMultipleMatches),
          handler(std::move(handler)) {}
    Matcher(Identifier identifier, Terminator terminator, bool allowMultipleMatches, Handler handler)
        : Matcher(std::vector<Identifier>{std::move(identifier)}, std::vector<Terminator>{std::move(terminator)},
                  allowMultipleMatches, std::move(handler)) {}
};

// Scans `text` once with `matchers`, calling their handlers before it
// returns. A match is made of an identifier, a non-empty content and a
// terminator that fits after it; a matcher has at most one match under way
// and never looks back at characters an attempt has passed. Matches still
// open at the end of the text are dropped. Time grows with the length of the
// text times the number and lengths of the matchers' strings; memory with the
// matchers alone. The scan works on its own copy of `matchers`, so a handler
// may change the caller's list. Throws only what a handler throws.
void scan(std::string_view text, const std::vector<Matcher>& matchers);
// The same over a slice of a larger text: positions are those of the larger text.
void scan(const Substring& slice, const std::vector<Matcher>& matchers);

// The contents between the identifiers and the terminators, in text order
// (one matcher, multiple matches allowed).
std::vector<Substring> substrings(std::string_view text, std::vector<Identifier> identifiers,
                                  std::vector<Terminator> terminators);
std::vector<Substring> substrings(std::string_view text, Identifier identifier, Terminator terminator);

}  // namespace svsdk
