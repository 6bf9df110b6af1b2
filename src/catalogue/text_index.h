// Texts to index records: each video's text split into terms, counted, and
// handed to the index builder as (term, video, count) records in order of
// first appearance, the records tessaloom.terms and a Counter would make;
// and, when asked, each video's title.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "builder/index_builder.h"
#include "catalogue/reader.h"
#include "catalogue/terms.h"
#include "catalogue/titles.h"

namespace tessaloom::catalogue {

class TextIndex {
 public:
  enum class Added {
    Ok,
    OtherKind,     // the id is of the other kind than the first one
    TotalPastU32,  // a term's total count would pass 2^32-1
  };

  explicit TextIndex(bool keep_titles) : keep_titles_(keep_titles) {}

  // Adds a video's text: ASCII text as it is (`text` must be ASCII), or
  // text already normalised and folded (`folded`), with the text as written
  // for its title. Nothing is added when the id is of the other kind.
  Added add_ascii(const VideoKey& key, std::string_view text);
  Added add_folded(const VideoKey& key, std::string_view folded, std::string_view text);

  builder::IndexBuilder& builder() { return builder_; }
  bool keeps_titles() const { return keep_titles_; }
  Titles& titles() { return titles_; }
  std::size_t texts() const { return texts_; }
  // The (term, video, count) records added.
  std::size_t records() const { return records_; }

 private:
  bool check_kind(const VideoKey& key);
  Added add_counted(const VideoKey& key, std::string_view text);

  struct Counted {
    builder::IndexBuilder::HashedTerm term;
    std::uint32_t count;
  };

  builder::IndexBuilder builder_;
  TermCounter counter_;
  std::vector<Counted> counted_;  // the current text's distinct terms
  Titles titles_;
  std::string scratch_;
  bool keep_titles_;
  VideoKey::Kind kind_ = VideoKey::Unknown;
  std::size_t texts_ = 0;
  std::size_t records_ = 0;
};

}  // namespace tessaloom::catalogue
