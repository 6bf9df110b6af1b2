#include "catalogue/titles.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "catalogue/char_class.h"
#include "common/text.h"

namespace tessaloom::catalogue {

using common::decode_utf8_sequence;
using common::utf8_sequence_width;

namespace {

// The code point at s[i..] and its width; an invalid byte reads as U+FFFD
// (neither space nor line break) of width 1.
char32_t code_point_at(std::string_view text, std::size_t i, std::size_t& width) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  if (s[i] < 0x80) return width = 1, s[i];
  const std::size_t w = utf8_sequence_width(s[i]);
  char32_t c;
  if (w == 0 || text.size() - i < w || !decode_utf8_sequence(s + i, w, c)) return width = 1, 0xFFFD;
  return width = w, c;
}

std::uint64_t big_endian(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int k = 0; k < 8; ++k) v = v << 8 | p[k];
  return v;
}

}  // namespace

std::string_view title_of(std::string_view text) {
  std::size_t i = 0, width = 0;
  // Leading whitespace, blank lines included.
  while (i < text.size() && (char_class(code_point_at(text, i, width)) & kSpace)) i += width;
  const std::size_t start = i;
  std::size_t end = start;  // past the last character that is not whitespace
  std::size_t count = 0;
  while (i < text.size() && count < kTitleCodePoints) {
    const std::uint8_t cls = char_class(code_point_at(text, i, width));
    if (cls & kLineBreak) break;
    i += width;
    ++count;
    if (!(cls & kSpace)) end = i;
  }
  // Trailing whitespace goes before the cut: a line of 199 characters and
  // blanks keeps its 199.
  if (count == kTitleCodePoints && end != i) {
    std::size_t j = i;
    bool more = false;
    while (j < text.size()) {
      const std::uint8_t cls = char_class(code_point_at(text, j, width));
      if (cls & kLineBreak) break;
      if (!(cls & kSpace)) {
        more = true;
        break;
      }
      j += width;
    }
    if (more) end = i;
  }
  return text.substr(start, end - start);
}

void Titles::add(const VideoKey& key, std::string_view text) {
  const std::string_view title = title_of(text);
  if (title.empty()) return;
  integers_ = key.kind == VideoKey::Integer;
  sorted_ = false;
  const std::uint64_t hi = integers_ ? 0 : big_endian(key.uuid);
  const std::uint64_t lo = integers_ ? key.number : big_endian(key.uuid + 8);
  entries_.push_back({hi, lo, bytes_.size(), static_cast<std::uint32_t>(title.size()),
                      static_cast<std::uint32_t>(entries_.size())});
  bytes_.append(title);
}

void Titles::sort_and_keep_first() {
  if (sorted_) return;
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    return a.hi != b.hi ? a.hi < b.hi : a.lo != b.lo ? a.lo < b.lo : a.order < b.order;
  });
  // The first title of each video stays.
  const auto last =
      std::unique(entries_.begin(), entries_.end(),
                  [](const Entry& a, const Entry& b) { return a.hi == b.hi && a.lo == b.lo; });
  entries_.erase(last, entries_.end());
  sorted_ = true;
}

std::size_t Titles::encoded_size() {
  sort_and_keep_first();
  std::size_t size = 8;
  for (const Entry& e : entries_) size += (integers_ ? 8 : 20) + e.length;
  return size;
}

void Titles::encode(char* out) {
  sort_and_keep_first();
  auto put_u32 = [&](std::uint32_t v) {
    for (int k = 0; k < 4; ++k) *out++ = static_cast<char>(v >> (8 * k));
  };
  put_u32(static_cast<std::uint32_t>(entries_.size()));
  *out++ = integers_ ? 1 : 0;
  for (int k = 0; k < 3; ++k) *out++ = 0;
  for (const Entry& e : entries_) {
    if (integers_) {
      put_u32(static_cast<std::uint32_t>(e.lo));
    } else {
      for (const std::uint64_t half : {e.hi, e.lo}) {
        for (int k = 7; k >= 0; --k) *out++ = static_cast<char>(half >> (8 * k));
      }
    }
    put_u32(e.length);
    out = std::copy_n(bytes_.data() + e.offset, e.length, out);
  }
}

std::string Titles::encode() {
  std::string out(encoded_size(), '\0');
  encode(out.data());
  return out;
}

}  // namespace tessaloom::catalogue
