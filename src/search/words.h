// The words of a query, from the text a person typed: the distinct terms of
// the text under the terms rule that indexes are built with (tessaloom.terms:
// NFKC, case folding, then maximal runs of characters of the Unicode
// categories L*, N* and M*), in order of first appearance, except that the
// text's last term comes last. It is a prefix (still being typed) unless the
// text ends with a separator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tessaloom::search {

// The most distinct words a query may have.
inline constexpr std::size_t kMaxWords = 32;

// The refusal of a text with more than kMaxWords distinct words.
inline constexpr const char kTooManyWords[] =
    "text has more than 32 distinct words; search takes at most 32";

struct Word {
  std::vector<char32_t> text;
  bool prefix = false;  // also matches terms that begin within its budget
};

// The edit budget of a word of `length` characters: max_dist when given,
// else 0 for 1 to 3 characters, 1 for 4 to 7, 2 for 8 or more. The one home
// of the rule; Python asks it through tessaloom._native.word_budget.
inline std::uint32_t word_budget(std::size_t length, std::optional<std::uint32_t> max_dist) {
  if (max_dist) return *max_dist;
  return length <= 3 ? 0 : length <= 7 ? 1 : 2;
}

// The query's words of `text`, UTF-8 that is either ASCII as typed (folded
// here, A-Z to a-z, all the rule does to ASCII) or text the caller has
// already normalised (NFKC) and case-folded. Bytes that are not valid UTF-8
// separate words, as characters outside the term classes do. With `prefix`,
// the last word is a prefix when the text ends with a term character.
// Throws InvalidInput (kTooManyWords) as soon as a word past kMaxWords
// distinct ones is found, so a long text is refused early.
std::vector<Word> query_words(std::string_view text, bool prefix);

}  // namespace tessaloom::search
