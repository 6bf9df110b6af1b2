#include "catalogue/text_index.h"

namespace tessaloom::catalogue {

using prefix::trie::Uuid;

bool TextIndex::check_kind(const VideoKey& key) {
  if (kind_ == VideoKey::Unknown) kind_ = key.kind;
  return key.kind == kind_;
}

TextIndex::Added TextIndex::add_ascii(const VideoKey& key, std::string_view text) {
  if (!check_kind(key)) return Added::OtherKind;
  ascii_terms(text, scratch_, [&](std::string_view term) { counter_.add(term); });
  return add_counted(key, text);
}

TextIndex::Added TextIndex::add_folded(const VideoKey& key, std::string_view folded,
                                       std::string_view text) {
  if (!check_kind(key)) return Added::OtherKind;
  folded_terms(folded, [&](std::string_view term) { counter_.add(term); });
  return add_counted(key, text);
}

TextIndex::Added TextIndex::add_counted(const VideoKey& key, std::string_view text) {
  ++texts_;
  if (keep_titles_) titles_.add(key, text);
  if (counter_.empty()) return Added::Ok;  // a video without terms is not in the index
  Uuid uuid;
  std::uint32_t video;
  if (key.kind == VideoKey::Integer) {
    video = builder_.int_video(key.number);
  } else {
    std::copy(std::begin(key.uuid), std::end(key.uuid), uuid.begin());
    video = builder_.uuid_video(uuid);
  }
  // Each distinct term is hashed once, and its lookups overlap with the
  // others': its slot is loaded as it is counted, then its term's row, then
  // all are added.
  counted_.clear();
  counter_.drain([&](std::string_view term, std::uint32_t count) {
    counted_.push_back({builder::IndexBuilder::hashed(term), count});
    builder_.prefetch(counted_.back().term);
  });
  for (const Counted& c : counted_) builder_.prefetch_more(c.term);
  Added added = Added::Ok;
  for (const Counted& c : counted_) {
    ++records_;
    if (added != Added::Ok) continue;
    try {
      builder_.add(c.term, video, c.count);
    } catch (const builder::RefusedRecord& e) {
      // The terms split here are never empty, nor hold U+0000.
      if (e.field() == "count") added = Added::TotalPastU32;
    }
  }
  return added;
}

}  // namespace tessaloom::catalogue
