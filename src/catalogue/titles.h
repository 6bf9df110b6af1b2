// Titles: the text an index file keeps for each video, for display.
//
// A video's title is the first line of its text that is not blank, without
// the whitespace around it, cut to 200 characters (code points). Lines break
// where str.splitlines breaks them and whitespace is what str.isspace says,
// so the title equals the Python rule in tessaloom.persist.
//
// The titles section of an index file (all little-endian): the u32 number of
// titles, a u8 id kind (0 UUIDs, 1 integers), 3 zero bytes, then per title
// in ascending order of video id: the id (16 bytes, or a u32), the u32
// length of the title's UTF-8 bytes, and those bytes. Ids are unique and
// titles are never empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/reader.h"

namespace tessaloom::catalogue {

inline constexpr std::size_t kTitleCodePoints = 200;

// The title of UTF-8 text: a view into it, empty when every line is blank.
std::string_view title_of(std::string_view utf8);

// Collects the titles of a build, the first non-empty one of each video.
class Titles {
 public:
  // Keeps the title of `text` for the video, unless the video has one.
  void add(const VideoKey& key, std::string_view text);
  std::size_t size() const { return entries_.size(); }
  // The titles section, in its saved form: encoded_size() bytes, which
  // encode() writes at `out`. The keys must be all of one kind.
  std::size_t encoded_size();
  void encode(char* out);
  std::string encode();

 private:
  // The id as two numbers that order as the section orders: a UUID's bytes
  // big-endian, an integer id in `lo`.
  struct Entry {
    std::uint64_t hi, lo;
    std::uint64_t offset;
    std::uint32_t length;
    std::uint32_t order;
  };
  void sort_and_keep_first();
  std::vector<Entry> entries_;
  bool integers_ = false;
  bool sorted_ = false;
  std::string bytes_;
};

}  // namespace tessaloom::catalogue
