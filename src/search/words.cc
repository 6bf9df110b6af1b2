#include "search/words.h"

#include <algorithm>

#include "catalogue/terms.h"
#include "common/fault.h"
#include "common/text.h"

namespace tessaloom::search {

std::vector<Word> query_words(std::string_view text, bool prefix) {
  std::vector<Word> words;
  std::size_t last = 0;  // the word of the last term seen
  bool open_end = false;
  // Terms are split as the index's terms are; an ASCII text as typed still
  // has its A-Z, folded once decoded.
  catalogue::folded_terms(text, [&](std::string_view utf8) {
    std::vector<char32_t> term = common::decode_utf8(utf8);
    for (char32_t& c : term) {
      if (c < 0x80) c = catalogue::detail::kAsciiFold.folded[c];
    }
    auto same =
        std::find_if(words.begin(), words.end(), [&](const Word& w) { return w.text == term; });
    last = static_cast<std::size_t>(same - words.begin());
    if (same == words.end()) {
      if (words.size() == kMaxWords) throw common::InvalidInput(kTooManyWords);
      words.push_back({std::move(term), false});
    }
    open_end = utf8.data() + utf8.size() == text.data() + text.size();
  });
  if (words.empty()) return words;
  std::rotate(words.begin() + static_cast<std::ptrdiff_t>(last),
              words.begin() + static_cast<std::ptrdiff_t>(last) + 1, words.end());
  words.back().prefix = prefix && open_end;
  return words;
}

}  // namespace tessaloom::search
