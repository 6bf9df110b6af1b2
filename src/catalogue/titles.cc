#include "catalogue/titles.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "catalogue/char_class.h"
#include "common/text.h"

namespace tessaloom::catalogue {
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

bool key_less(const VideoKey& a, const VideoKey& b) {
  if (a.kind == VideoKey::Integer) return a.number < b.number;
  return std::memcmp(a.uuid, b.uuid, 16) < 0;
}

bool key_equal(const VideoKey& a, const VideoKey& b) { return !key_less(a, b) && !key_less(b, a); }

void put_u32(std::string& out, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>(v >> (8 * k)));
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
  entries_.push_back({key, bytes_.size(), static_cast<std::uint32_t>(title.size()),
                      static_cast<std::uint32_t>(entries_.size())});
  bytes_.append(title);
}

std::string Titles::encode() {
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const Entry& a, const Entry& b) { return key_less(a.key, b.key); });
  // The first title of each video stays.
  const auto last = std::unique(entries_.begin(), entries_.end(),
                                [](const Entry& a, const Entry& b) { return key_equal(a.key, b.key); });
  entries_.erase(last, entries_.end());
  const bool integers = !entries_.empty() && entries_.front().key.kind == VideoKey::Integer;
  std::string out;
  put_u32(out, static_cast<std::uint32_t>(entries_.size()));
  out.push_back(integers ? 1 : 0);
  out.append(3, '\0');
  for (const Entry& e : entries_) {
    if (integers) {
      put_u32(out, e.key.number);
    } else {
      out.append(reinterpret_cast<const char*>(e.key.uuid), 16);
    }
    put_u32(out, e.length);
    out.append(bytes_, e.offset, e.length);
  }
  return out;
}

}  // namespace tessaloom::catalogue
