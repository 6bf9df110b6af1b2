// Catalogue reading and text splitting: video keys, terms, counting and
// titles. (The rows the native reader takes, and the lines it leaves to the
// Python reader, are checked against the Python reader by the Python suite,
// test_catalogue_rules.py and test_texts.py; its memory safety by the
// catalogue fuzzer.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/char_class.h"
#include "catalogue/reader.h"
#include "catalogue/terms.h"
#include "catalogue/titles.h"

namespace tessaloom::catalogue {
namespace {

TEST(Reader, VideoKeys) {
  EXPECT_EQ(parse_video_key("0").kind, VideoKey::Integer);
  EXPECT_EQ(parse_video_key("004294967295").number, 4294967295u);
  const auto uuid = parse_video_key("7D9F2C1E-0000-4000-8000-0000000000ff");
  ASSERT_EQ(uuid.kind, VideoKey::Uuid);
  EXPECT_EQ(uuid.uuid[0], 0x7D);
  EXPECT_EQ(uuid.uuid[15], 0xFF);
  EXPECT_EQ(parse_video_key("7d9f2c1e000040008000000000000001").kind, VideoKey::Uuid);
  // Left to the Python reader, which accepts some and refuses others.
  for (const char* text :
       {"", "4294967296", " 1", "-1", "+1", "7d9f2c1e-0000-4000-8000-00000000000g",
        "{7d9f2c1e-0000-4000-8000-000000000001}", "7d9f2c1e0-000-4000-8000-000000000001",
        "12345678901234567890123456789012"}) {
    EXPECT_EQ(parse_video_key(text).kind, VideoKey::Unknown) << text;
  }
}

std::vector<std::string> split(std::string_view text) {
  std::vector<std::string> out;
  std::string scratch;
  if (is_ascii(text)) {
    ascii_terms(text, scratch, [&](std::string_view t) { out.emplace_back(t); });
  } else {
    folded_terms(text, [&](std::string_view t) { out.emplace_back(t); });
  }
  return out;
}

TEST(Terms, Split) {
  using V = std::vector<std::string>;
  EXPECT_EQ(split("MP3 Cr_me-BR\x7F"
                  "U 42"),
            (V{"mp3", "cr", "me", "br", "u", "42"}));
  EXPECT_EQ(split(""), V{});
  // Folded text: letters with combining marks stay one term; marks, digits
  // of other scripts and letters outside the BMP are term characters.
  EXPECT_EQ(split("\xE0\xA4\xB9\xE0\xA4\xBF\xE0\xA4\xA8\xE0\xA5\x8D\xE0\xA4\xA6\xE0\xA5\x80 x"),
            (V{"\xE0\xA4\xB9\xE0\xA4\xBF\xE0\xA4\xA8\xE0\xA5\x8D\xE0\xA4\xA6\xE0\xA5\x80", "x"}));
  EXPECT_EQ(split("a\xD9\xA3\xF0\x90\x90\xA8-\xC2\xB2_b\xE2\x80\x94"
                  "c\xFF"
                  "d"),
            (V{"a\xD9\xA3\xF0\x90\x90\xA8", "\xC2\xB2", "b", "c", "d"}));
  // ASCII text splits the same way by either route.
  std::string ascii;
  for (int c = 0; c < 128; ++c) ascii += static_cast<char>(c), ascii += static_cast<char>(127 - c);
  std::vector<std::string> folded;
  for (char& c : ascii) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  folded_terms(ascii, [&](std::string_view t) { folded.emplace_back(t); });
  EXPECT_EQ(split(ascii), folded);
}

TEST(Terms, CountsInOrderOfFirstAppearance) {
  TermCounter counter;
  for (const char* t : {"b", "a", "b", "c", "a", "b"}) counter.add(t);
  std::string got;
  counter.drain(
      [&](std::string_view t, std::uint32_t n) { got += std::string(t) + std::to_string(n); });
  EXPECT_EQ(got, "b3a2c1");
  EXPECT_TRUE(counter.empty());
}

TEST(Titles, FirstLineCut) {
  const std::string long_line(250, 'x');
  const struct {
    std::string text, want;
  } cases[] = {
      {"  \n\t Sourdough bread \r\nfor beginners", "Sourdough bread"},
      {"\xE2\x80\xA8"
       "a\x1c"
       "b",
       "a"},  // U+2028 and \x1c break lines
      {"a\x1f"
       "b \xC2\xA0",
       "a\x1f"
       "b"},  // \x1f is a blank, not a break
      {" \n \r\n", ""},
      {long_line, long_line.substr(0, 200)},
      {std::string(199, 'x') + "   \nz", std::string(199, 'x')},
      {std::string(199, 'x') + " yz", std::string(199, 'x') + " "},
  };
  for (const auto& c : cases) EXPECT_EQ(title_of(c.text), c.want);
  std::string accents;
  for (int k = 0; k < 250; ++k) accents += "\xC3\xA9";
  EXPECT_EQ(title_of(accents), accents.substr(0, 400));
}

TEST(Titles, SectionSortedFirstKept) {
  Titles titles;
  VideoKey a = parse_video_key("7"), b = parse_video_key("2");
  titles.add(a, "seven");
  titles.add(b, " \n");
  titles.add(b, "two");
  titles.add(a, "later");
  const std::string want(
      "\x02\0\0\0\x01\0\0\0"
      "\x02\0\0\0\x03\0\0\0two"
      "\x07\0\0\0\x05\0\0\0seven",
      32);
  EXPECT_EQ(titles.encode(), want);
}

TEST(CharClass, Table) {
  EXPECT_TRUE(is_term_char(U'a'));
  EXPECT_TRUE(is_term_char(0x0301));   // a combining mark
  EXPECT_TRUE(is_term_char(0x10428));  // a letter outside the BMP
  EXPECT_FALSE(is_term_char(U'_'));
  EXPECT_FALSE(is_term_char(0x110000));
  EXPECT_EQ(char_class(0x2029), kSpace | kLineBreak);
  for (char32_t c = 0; c < 0x80; ++c)
    EXPECT_EQ(char_class(c), table_class(c)) << static_cast<int>(c);
}

}  // namespace
}  // namespace tessaloom::catalogue
