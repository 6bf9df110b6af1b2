#include "search/words.h"

#include <algorithm>

#include "catalogue/char_class.h"
#include "catalogue/terms.h"
#include "common/fault.h"
#include "common/text.h"

namespace tessaloom::search {

std::vector<Word> query_words(std::string_view text, bool prefix) {
  constexpr std::uint64_t kBasis = 0xcbf29ce484222325u, kPrime = 0x100000001b3u;
  std::vector<Word> words;
  std::uint64_t hashes[kMaxWords];
  std::vector<char32_t> term;
  std::uint64_t hash = kBasis;
  std::size_t last = 0;  // the word of the last term seen
  // Ends the term read so far: a new word, or the one it repeats.
  auto end_term = [&] {
    if (term.empty()) return;
    std::size_t k = 0;
    while (k < words.size() && !(hashes[k] == hash && words[k].text == term)) ++k;
    if (k == words.size()) {
      if (k == kMaxWords) throw common::InvalidInput(kTooManyWords);
      hashes[k] = hash;
      words.push_back({term, false});
    }
    last = k;
    term.clear();
    hash = kBasis;
  };
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    char32_t c = 0;
    bool in_term = false;
    if (s[i] < 0x80) {
      c = catalogue::detail::kAsciiFold.folded[s[i]];
      in_term = c != 0;
      ++i;
    } else {
      const std::size_t width = common::utf8_sequence_width(s[i]);
      if (width == 0 || n - i < width || !common::decode_utf8_sequence(s + i, width, c)) {
        ++i;  // not UTF-8: a separator
      } else {
        in_term = catalogue::is_term_char(c);
        i += width;
      }
    }
    if (in_term) {
      term.push_back(c);
      hash = (hash ^ c) * kPrime;
    } else {
      end_term();
    }
  }
  const bool open_end = !term.empty();
  end_term();
  if (words.empty()) return words;
  std::rotate(words.begin() + static_cast<std::ptrdiff_t>(last),
              words.begin() + static_cast<std::ptrdiff_t>(last) + 1, words.end());
  words.back().prefix = prefix && open_end;
  return words;
}

}  // namespace tessaloom::search
