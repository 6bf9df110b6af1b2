// Reading catalogue files natively: TSV or CSV rows of (video id, text).
//
// The reader takes the lines that follow the common shape and leaves every
// other line to the Python reader, which knows every rule and every message:
// it returns Irregular at the first line it does not take whole, and the
// caller starts over there with the Python reader. A line the reader takes
// reads exactly as the Python reader reads it:
//   - lines end at "\n"; an optional "\r" before it is dropped; a UTF-8 byte
//     order mark at the start of the file is skipped;
//   - a line of ASCII whitespace only is skipped; a first row "id", "text"
//     (any case, blanks around) is a header and is skipped;
//   - TSV: the id is the text before the first tab, the text all after it;
//   - CSV (RFC 4180): two fields, each plain or quoted; a quoted field may
//     hold commas, doubled quotes, "\n" and "\r" as text.
// Irregular: bytes that are not UTF-8, U+0000, a TSV line without a tab, a
// CSV row of other than two fields, a quote inside a plain field, anything
// but a comma or the line's end after a closing quote, a "\r" outside
// quotes that does not end the line, an unclosed quote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessaloom::catalogue {

enum class Format { Tsv, Csv };

struct Row {
  std::size_t line;  // where the row starts, counting "\n" from 1
  std::string_view id;
  std::string_view text;
};

class Reader {
 public:
  enum class Next { Row, End, Irregular };

  Reader(std::string_view data, Format format);
  // The next row. Its views stay valid until the next call. After Irregular,
  // line() is the line the reader did not take.
  Next next(Row& row);
  std::size_t line() const { return line_; }

 private:
  Next next_tsv(Row& row);
  Next next_csv(Row& row);
  // Reads one CSV field at pos_ into `out` (a view of data_ or of `scratch`).
  bool csv_field(std::string_view& out, std::string& scratch, bool& last);
  bool header(const Row& row);

  std::string_view data_;
  Format format_;
  std::size_t pos_ = 0;
  std::size_t line_ = 0;  // the line pos_ is on, minus one
  bool first_ = true;
  std::string id_scratch_, text_scratch_;
};

// Whether s is valid UTF-8 without U+0000.
bool is_clean_utf8(std::string_view s);

// Whether every byte of s is ASCII whitespace (as str.isspace: "\t\n\v\f\r",
// "\x1c".."\x1f" and " ").
bool is_ascii_blank(std::string_view s);

// A video id of the common forms: decimal digits only, at most 2^32-1, or a
// UUID as 32 hex digits, plain or in the 8-4-4-4-12 form. Any other text is
// Unknown and left to the Python reader.
struct VideoKey {
  enum Kind : std::uint8_t { Unknown, Integer, Uuid } kind = Unknown;
  std::uint32_t number = 0;
  std::uint8_t uuid[16] = {};
};
VideoKey parse_video_key(std::string_view text);

}  // namespace tessaloom::catalogue
