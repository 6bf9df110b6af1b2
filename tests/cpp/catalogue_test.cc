// The native catalogue reader's video keys and the character table of terms.
// (The rows the reader takes and the lines it leaves to the Python reader,
// and the terms and titles of texts, are compared with the Python reader and
// rules by the Python suite, test_catalogue_rules.py and test_texts.py; the
// catalogue fuzzer checks memory safety and the ASCII route of terms.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/char_class.h"
#include "catalogue/reader.h"

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
