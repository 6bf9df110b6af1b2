#include "prefix/trie/video_ids.h"

#include <charconv>

namespace tessaloom::prefix::trie {

std::string uuid_text(const Uuid& id) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(36, '-');
  std::size_t pos = 0;
  for (std::size_t b = 0; b < id.size(); ++b) {
    if (b == 4 || b == 6 || b == 8 || b == 10) ++pos;  // keeps the '-'
    out[pos++] = kHex[id[b] >> 4];
    out[pos++] = kHex[id[b] & 0xF];
  }
  return out;
}

std::string VideoIds::key(std::size_t v) const {
  if (kind_ == IdMode::Uuid) return uuid_text(uuids_[v]);
  char buf[10];
  const auto r = std::to_chars(buf, buf + sizeof buf, ints_[v]);
  return std::string(buf, r.ptr);
}

}  // namespace tessaloom::prefix::trie
