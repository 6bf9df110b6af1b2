// Splitting text into terms, natively, under the terms rule of
// tessaloom.terms: the text is normalised to NFKC and case-folded
// (str.casefold), and its terms are the maximal runs of characters of the
// Unicode categories L*, N* and M*.
//
// ASCII text needs neither step but folding A-Z to a-z, so it is split here
// whole. Other text is normalised and folded by the caller (the binding asks
// the interpreter) and split here by the character table.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaloom::catalogue {

// Whether every byte of s is ASCII.
bool is_ascii(std::string_view s);

// Calls f(term) for each term of ASCII text, folded to lower case. The views
// point into `scratch`, which holds the folded text until the next call.
template <class F>
void ascii_terms(std::string_view text, std::string& scratch, F&& f);

// Calls f(term) for each term of text that is already normalised and folded
// (UTF-8). The views point into `text`. Bytes that are not valid UTF-8 part
// terms, like any other character outside the term classes.
template <class F>
void folded_terms(std::string_view text, F&& f);

// The terms of one text, counted: each distinct term once, in order of first
// appearance, with the number of times it occurs. A few terms are compared
// pairwise, more are counted by sorting, so no text can make it slower than
// n log n.
class TermCounter {
 public:
  void add(std::string_view term) {
    seen_.push_back({term, static_cast<std::uint32_t>(seen_.size())});
  }
  bool empty() const { return seen_.empty(); }
  // Calls f(term, count) for each distinct term, then forgets them all.
  template <class F>
  void drain(F&& f);

 private:
  static constexpr std::size_t kLinear = 24;
  struct Seen {
    std::string_view term;
    std::uint32_t position;
  };
  struct Counted {
    std::uint32_t first;
    std::uint32_t count;
    std::string_view term;
  };
  std::vector<Seen> seen_;
  std::vector<Counted> counted_;
};

// ---------------------------------------------------------------------------

namespace detail {
// Per ASCII byte: the folded byte when it is a term character, else 0.
struct AsciiFold {
  std::uint8_t folded[128];
  constexpr AsciiFold() : folded{} {
    for (int c = '0'; c <= '9'; ++c) folded[c] = static_cast<std::uint8_t>(c);
    for (int c = 'a'; c <= 'z'; ++c) folded[c] = static_cast<std::uint8_t>(c);
    for (int c = 'A'; c <= 'Z'; ++c) folded[c] = static_cast<std::uint8_t>(c - 'A' + 'a');
  }
};
inline constexpr AsciiFold kAsciiFold;

// The term-character test of one UTF-8 sequence at s[i..], and its width.
// Invalid bytes count as one-byte separators.
bool term_char_at(const std::uint8_t* s, std::size_t size, std::size_t i, std::size_t& width);
}  // namespace detail

template <class F>
void ascii_terms(std::string_view text, std::string& scratch, F&& f) {
  scratch.resize(text.size());
  const std::size_t n = text.size();
  std::size_t start = 0;
  bool in_term = false;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t folded =
        detail::kAsciiFold.folded[static_cast<std::uint8_t>(text[i]) & 0x7F];
    scratch[i] = static_cast<char>(folded);
    if (folded != 0) {
      if (!in_term) start = i, in_term = true;
    } else if (in_term) {
      in_term = false;
      f(std::string_view(scratch).substr(start, i - start));
    }
  }
  if (in_term) f(std::string_view(scratch).substr(start, n - start));
}

template <class F>
void folded_terms(std::string_view text, F&& f) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  std::size_t start = 0;
  bool in_term = false;
  for (std::size_t i = 0; i < n;) {
    std::size_t width;
    const bool term = detail::term_char_at(s, n, i, width);
    if (term) {
      if (!in_term) start = i, in_term = true;
    } else if (in_term) {
      in_term = false;
      f(text.substr(start, i - start));
    }
    i += width;
  }
  if (in_term) f(text.substr(start, n - start));
}

template <class F>
void TermCounter::drain(F&& f) {
  counted_.clear();
  if (seen_.size() <= kLinear) {
    // Few terms (a title): each compared with the distinct ones before it.
    for (const Seen& s : seen_) {
      auto same = std::find_if(counted_.begin(), counted_.end(),
                               [&](const Counted& c) { return c.term == s.term; });
      if (same == counted_.end()) {
        counted_.push_back({s.position, 1, s.term});
      } else {
        ++same->count;
      }
    }
    seen_.clear();
    for (const Counted& c : counted_) f(c.term, c.count);
    return;
  }
  std::sort(seen_.begin(), seen_.end(), [](const Seen& a, const Seen& b) {
    return a.term != b.term ? a.term < b.term : a.position < b.position;
  });
  for (std::size_t i = 0; i < seen_.size();) {
    std::size_t j = i + 1;
    while (j < seen_.size() && seen_[j].term == seen_[i].term) ++j;
    counted_.push_back({seen_[i].position, static_cast<std::uint32_t>(j - i), seen_[i].term});
    i = j;
  }
  std::sort(counted_.begin(), counted_.end(),
            [](const Counted& a, const Counted& b) { return a.first < b.first; });
  seen_.clear();
  for (const Counted& c : counted_) f(c.term, c.count);
}

}  // namespace tessaloom::catalogue
