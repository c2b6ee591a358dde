#include <svsdk/SVStringScanner.h>

#include <algorithm>
#include <optional>

#include "Core/Utilities/Graphemes.h"

namespace svsdk {
namespace {

// A string as the canonical forms of its characters.
std::vector<std::string> characters(std::string_view text) {
    std::vector<std::string> result;
    GraphemeCursor cursor(text);
    std::string buffer;
    while (auto character = cursor.next()) result.emplace_back(canonicalForm(*character, buffer));
    return result;
}

struct Rule {
    const Matcher* matcher;
    std::vector<std::vector<std::string>> identifiers;
    std::vector<std::vector<std::string>> terminators;
    bool retired = false;
};

// One character of the text, kept while a match may still look at it.
struct Slot {
    std::string buffer;
    std::string_view key;  // canonical form: a view of the text or of `buffer`
    std::size_t byteBegin = 0;
    std::size_t byteEnd = 0;
};

struct Pending {
    std::size_t rule;
    std::size_t attemptStart;
    std::size_t identifier;  // the earlier identifiers can no longer fit
    bool prefixMatched;      // the characters before the current one fit `identifier`
};

struct Collecting {
    std::size_t rule;
    std::size_t identifierLength;
    std::size_t contentStart;
    std::size_t contentByte;
};

class Scan {
public:
    // The scan reads its own copy of the matchers: a handler may change the
    // caller's list, even make it move.
    Scan(std::string_view text, std::size_t firstPosition, const std::vector<Matcher>& matchers)
        : text_(text), base_(firstPosition), matchers_(matchers) {
        std::size_t longest = 1;
        rules_.reserve(matchers_.size());
        for (const auto& matcher : matchers_) {
            Rule rule{&matcher, {}, {}};
            for (const auto& identifier : matcher.identifiers) {
                rule.identifiers.push_back(characters(identifier.string));
                longest = std::max(longest, rule.identifiers.back().size());
            }
            for (const auto& terminator : matcher.terminators) {
                rule.terminators.push_back(characters(terminator.string));
                longest = std::max(longest, rule.terminators.back().size());
            }
            idle_.push_back(rules_.size());
            rules_.push_back(std::move(rule));
        }
        // Every look back (a terminator, an identifier under way) stays
        // within the last `longest` characters.
        ring_.resize(longest + 1);
    }

    void run() {
        GraphemeCursor cursor(text_);
        std::optional<std::string_view> current = cursor.next();
        std::size_t byte = 0;
        for (std::size_t j = 0; current; ++j) {
            if (idle_.empty() && pending_.empty() && collecting_.empty()) return;
            std::optional<std::string_view> following = cursor.next();
            Slot& slot = at(j);
            slot.key = canonicalForm(*current, slot.buffer);
            slot.byteBegin = byte;
            slot.byteEnd = byte + current->size();
            collect(j, !following);
            advancePending(j);
            startMatches(j);
            byte = slot.byteEnd;
            current = following;
        }
    }

private:
    Slot& at(std::size_t position) { return ring_[position % ring_.size()]; }

    // Whether the characters from `first` on equal `pattern` (its first `count` characters).
    bool equalAt(std::size_t first, const std::vector<std::string>& pattern, std::size_t count) {
        for (std::size_t k = 0; k < count; ++k)
            if (at(first + k).key != pattern[k]) return false;
        return true;
    }

    void collect(std::size_t j, bool isLast) {
        if (collecting_.empty()) return;
        auto& staying = spareCollecting_;
        staying.clear();
        for (const Collecting& entry : collecting_) {
            Rule& rule = rules_[entry.rule];
            const std::size_t gathered = j - entry.contentStart + 1;
            std::optional<std::size_t> fitting;
            for (std::size_t t = 0; t < rule.terminators.size() && !fitting; ++t) {
                const auto& terminator = rule.terminators[t];
                if (terminator.size() > gathered) continue;
                if (rule.matcher->terminators[t].isSuffix && !isLast) continue;
                if (equalAt(j + 1 - terminator.size(), terminator, terminator.size())) fitting = terminator.size();
            }
            if (!fitting) {
                staying.push_back(entry);
                continue;
            }
            const std::size_t length = *fitting;
            if (entry.contentStart + length <= j) {  // the content is not empty
                const std::size_t last = j - length;
                const std::size_t byteEnd = length == 0 ? at(j).byteEnd : at(j + 1 - length).byteBegin;
                Substring content{text_.substr(entry.contentByte, byteEnd - entry.contentByte),
                                  {base_ + entry.contentStart, base_ + last}};
                ClosedRange span{base_ + entry.contentStart - entry.identifierLength, base_ + j};
                if (rule.matcher->handler) rule.matcher->handler(content, span);
                if (!rule.matcher->allowMultipleMatches) {
                    rule.retired = true;
                    continue;
                }
            }
            idle_.push_back(entry.rule);
        }
        collecting_.swap(staying);
    }

    void advancePending(std::size_t j) {
        if (pending_.empty()) return;
        auto& staying = sparePending_;
        staying.clear();
        for (Pending entry : pending_) {
            const Rule& rule = rules_[entry.rule];
            const std::size_t gathered = j - entry.attemptStart + 1;
            bool decided = false;
            for (std::size_t i = entry.identifier; i < rule.identifiers.size() && !decided; ++i) {
                const auto& identifier = rule.identifiers[i];
                if (identifier.size() < gathered) continue;
                bool fits = i == entry.identifier && entry.prefixMatched
                                ? at(j).key == identifier[gathered - 1]
                                : equalAt(entry.attemptStart, identifier, gathered);
                if (!fits) continue;
                decided = true;
                if (identifier.size() == gathered) {
                    collecting_.push_back({entry.rule, gathered, j + 1, at(j).byteEnd});
                } else {
                    staying.push_back({entry.rule, entry.attemptStart, i, true});
                }
            }
            if (!decided) idle_.push_back(entry.rule);
        }
        pending_.swap(staying);
    }

    void startMatches(std::size_t j) {
        auto& staying = spareIdle_;
        staying.clear();
        for (std::size_t index : idle_) {
            const Rule& rule = rules_[index];
            const auto& identifiers = rule.matcher->identifiers;
            std::optional<std::size_t> winner;
            for (std::size_t i = 0; i < identifiers.size() && !winner; ++i) {
                if (identifiers[i].isPrefix && j != 0) continue;
                if (identifiers[i].isPrefix && rule.identifiers[i].empty()) winner = i;
                else if (!rule.identifiers[i].empty() && rule.identifiers[i][0] == at(j).key) winner = i;
            }
            if (!winner) {
                staying.push_back(index);
                continue;
            }
            const std::size_t length = rule.identifiers[*winner].size();
            if (length == 0) collecting_.push_back({index, 0, j, at(j).byteBegin});
            else if (length == 1) collecting_.push_back({index, 1, j + 1, at(j).byteEnd});
            else pending_.push_back({index, j, 0, false});
        }
        idle_.swap(staying);
    }

    std::string_view text_;
    std::size_t base_;
    const std::vector<Matcher> matchers_;
    std::vector<Rule> rules_;
    std::vector<Slot> ring_;
    std::vector<std::size_t> idle_;
    std::vector<Pending> pending_;
    std::vector<Collecting> collecting_;
    // The lists' next contents, kept to reuse their storage at every position.
    std::vector<std::size_t> spareIdle_;
    std::vector<Pending> sparePending_;
    std::vector<Collecting> spareCollecting_;
};

}  // namespace

void scan(std::string_view text, const std::vector<Matcher>& matchers) {
    if (matchers.empty()) return;
    Scan(text, 0, matchers).run();
}

void scan(const Substring& slice, const std::vector<Matcher>& matchers) {
    if (matchers.empty()) return;
    Scan(slice.text, slice.positions.lowerBound, matchers).run();
}

std::vector<Substring> substrings(std::string_view text, std::vector<Identifier> identifiers,
                                  std::vector<Terminator> terminators) {
    std::vector<Substring> result;
    scan(text, {Matcher(std::move(identifiers), std::move(terminators), true,
                        [&](const Substring& content, ClosedRange) { result.push_back(content); })});
    return result;
}

std::vector<Substring> substrings(std::string_view text, Identifier identifier, Terminator terminator) {
    return substrings(text, std::vector<Identifier>{std::move(identifier)},
                      std::vector<Terminator>{std::move(terminator)});
}

}  // namespace svsdk
