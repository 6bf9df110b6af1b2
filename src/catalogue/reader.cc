#include "catalogue/reader.h"

#include <cstring>

#include "common/text.h"

namespace tessaloom::catalogue {

using common::decode_utf8_sequence;
using common::utf8_sequence_width;

namespace {

bool ascii_space(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1C && c <= 0x1F);
}

std::string_view ascii_strip(std::string_view s) {
  while (!s.empty() && ascii_space(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && ascii_space(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool equals_lower(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// Per byte: its value as a hex digit, or -1.
struct HexDigits {
  std::int8_t value[256];
  constexpr HexDigits() : value{} {
    for (int c = 0; c < 256; ++c) value[c] = -1;
    for (int c = 0; c < 10; ++c) value['0' + c] = static_cast<std::int8_t>(c);
    for (int c = 0; c < 6; ++c) {
      value['a' + c] = static_cast<std::int8_t>(10 + c);
      value['A' + c] = static_cast<std::int8_t>(10 + c);
    }
  }
};
constexpr HexDigits kHex;

int hex_value(char c) { return kHex.value[static_cast<unsigned char>(c)]; }

}  // namespace

bool is_clean_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    if (s[i] < 0x80) {
      if (s[i] == 0) return false;
      ++i;
      continue;
    }
    const std::size_t w = utf8_sequence_width(s[i]);
    char32_t c;
    if (w == 0 || n - i < w || !decode_utf8_sequence(s + i, w, c)) return false;
    i += w;
  }
  return true;
}

bool is_ascii_blank(std::string_view s) { return ascii_strip(s).empty(); }

VideoKey parse_video_key(std::string_view text) {
  VideoKey key;
  if (text.empty()) return key;
  bool digits = true;
  for (const char c : text) digits = digits && c >= '0' && c <= '9';
  if (digits) {
    std::uint64_t v = 0;
    for (const char c : text) {
      v = v * 10 + static_cast<std::uint64_t>(c - '0');
      if (v > 0xFFFFFFFFu) return key;  // refused: the Python reader says why
    }
    key.kind = VideoKey::Integer;
    key.number = static_cast<std::uint32_t>(v);
    return key;
  }
  const bool dashed = text.size() == 36;
  if (!dashed && text.size() != 32) return key;
  std::size_t k = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (dashed && (i == 8 || i == 13 || i == 18 || i == 23)) {
      if (text[i] != '-') return key;
      continue;
    }
    const int v = hex_value(text[i]);
    if (v < 0) return key;
    key.uuid[k / 2] = static_cast<std::uint8_t>(key.uuid[k / 2] << 4 | v);
    ++k;
  }
  key.kind = VideoKey::Uuid;
  return key;
}

Reader::Reader(std::string_view data, Format format) : data_(data), format_(format) {
  if (data_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
}

Reader::Next Reader::next(Row& row) {
  for (;;) {
    const Next n = format_ == Format::Tsv ? next_tsv(row) : next_csv(row);
    if (n != Next::Row) return n;
    if (!(is_clean_utf8(row.id) && is_clean_utf8(row.text))) {
      line_ = row.line;
      return Next::Irregular;
    }
    if (first_) {
      first_ = false;
      if (header(row)) continue;
    }
    return n;
  }
}

bool Reader::header(const Row& row) {
  return equals_lower(ascii_strip(row.id), "id") && equals_lower(ascii_strip(row.text), "text");
}

Reader::Next Reader::next_tsv(Row& row) {
  for (;;) {
    if (pos_ >= data_.size()) return Next::End;
    const std::size_t start = pos_;
    const std::size_t nl = data_.find('\n', start);
    const std::size_t end = nl == std::string_view::npos ? data_.size() : nl;
    pos_ = nl == std::string_view::npos ? data_.size() : nl + 1;
    ++line_;
    std::string_view text = data_.substr(start, end - start);
    if (nl != std::string_view::npos && !text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (is_ascii_blank(text)) continue;
    const std::size_t tab = text.find('\t');
    if (tab == std::string_view::npos) return Next::Irregular;
    row = {line_, text.substr(0, tab), text.substr(tab + 1)};
    return Next::Row;
  }
}

// One field at pos_. `last` is set when the field ends its record.
bool Reader::csv_field(std::string_view& out, std::string& scratch, bool& last) {
  const std::size_t n = data_.size();
  auto ends_record = [&](std::size_t i, std::size_t& after) {
    if (i >= n) return after = n, true;
    if (data_[i] == '\n') return after = i + 1, true;
    if (data_[i] == '\r' && i + 1 < n && data_[i + 1] == '\n') return after = i + 2, true;
    return false;
  };
  std::size_t i = pos_;
  std::size_t after;
  if (i < n && data_[i] == '"') {
    // Quoted: up to the quote that is not doubled.
    scratch.clear();
    std::size_t from = ++i;
    for (;;) {
      const std::size_t q = data_.find('"', i);
      if (q == std::string_view::npos) return false;  // unclosed
      for (std::size_t k = i; k < q; ++k) line_ += data_[k] == '\n';
      if (q + 1 < n && data_[q + 1] == '"') {
        scratch.append(data_.substr(from, q + 1 - from));
        i = from = q + 2;
        continue;
      }
      if (scratch.empty()) {
        out = data_.substr(from, q - from);
      } else {
        scratch.append(data_.substr(from, q - from));
        out = scratch;
      }
      i = q + 1;
      break;
    }
    if (ends_record(i, after)) {
      last = true;
    } else if (data_[i] == ',') {
      after = i + 1;
      last = false;
    } else {
      return false;
    }
    pos_ = after;
    return true;
  }
  const std::size_t from = i;
  for (;; ++i) {
    if (ends_record(i, after)) {
      last = true;
      break;
    }
    const char c = data_[i];
    if (c == ',') {
      after = i + 1;
      last = false;
      break;
    }
    if (c == '"' || c == '\r') return false;
  }
  std::size_t to = i;
  out = data_.substr(from, to - from);
  pos_ = after;
  return true;
}

Reader::Next Reader::next_csv(Row& row) {
  for (;;) {
    if (pos_ >= data_.size()) return Next::End;
    const std::size_t start_line = ++line_;
    std::string_view fields[2];
    std::string* scratch[2] = {&id_scratch_, &text_scratch_};
    std::string extra;
    std::size_t count = 0;
    bool blank = true;
    for (bool last = false; !last;) {
      std::string_view field;
      if (!csv_field(field, count < 2 ? *scratch[count] : extra, last)) {
        line_ = start_line;
        return Next::Irregular;
      }
      if (count < 2) fields[count] = field;
      blank = blank && is_ascii_blank(field);
      ++count;
    }
    if (blank) continue;
    if (count != 2) {
      line_ = start_line;
      return Next::Irregular;
    }
    row = {start_line, fields[0], fields[1]};
    return Next::Row;
  }
}

}  // namespace tessaloom::catalogue
