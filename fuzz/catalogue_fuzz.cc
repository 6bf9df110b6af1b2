// Fuzz target: the native catalogue reader, terms and titles, which take a
// catalogue file's bytes as they are.
//
// The first byte picks TSV or CSV. Every row's views must lie inside the
// input or the reader's scratch, rows must come in order of line, and the
// reader must end (End or Irregular). Each row's text is split and counted
// into a builder and titled; a row's title must be a part of its text, and
// the terms of ASCII text must be what splitting it as folded text gives.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/reader.h"
#include "catalogue/text_index.h"
#include "catalogue/titles.h"

namespace {

using namespace tessaloom::catalogue;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "catalogue_fuzz: %s\n", what);
  std::abort();
}

std::vector<std::string> split(std::string_view text) {
  std::vector<std::string> out;
  std::string scratch;
  ascii_terms(text, scratch, [&](std::string_view t) { out.emplace_back(t); });
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  Reader reader(input, data[0] & 1 ? Format::Csv : Format::Tsv);
  TextIndex index(true);
  Row row;
  std::size_t last_line = 0;
  for (;;) {
    const Reader::Next next = reader.next(row);
    if (next != Reader::Next::Row) break;
    if (row.line <= last_line) fail("rows out of order");
    last_line = row.line;
    const std::string_view title = title_of(row.text);
    if (!title.empty() && (title.data() < row.text.data() ||
                           title.data() + title.size() > row.text.data() + row.text.size())) {
      fail("a title outside its text");
    }
    VideoKey key = parse_video_key(row.id);
    if (key.kind == VideoKey::Unknown) key.kind = VideoKey::Integer;
    if (is_ascii(row.text)) {
      std::string folded(row.text);
      for (char& c : folded) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
      std::vector<std::string> as_folded;
      folded_terms(folded, [&](std::string_view t) { as_folded.emplace_back(t); });
      if (split(row.text) != as_folded) fail("ASCII terms differ between the two splitters");
      index.add_ascii(key, row.text);
    } else {
      index.add_folded(key, row.text, row.text);
    }
  }
  index.titles().encode();
  return 0;
}
