// The native builder's record checks and video numbering. Its indexes are
// compared with the reference builder's (tessaloom.build_arrays) on random
// records by the Python suite (test_build_index.py).
#include "builder/index_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace tessaloom::builder {
namespace {

TEST(IndexBuilder, RefusedRecordsChangeNothing) {
  IndexBuilder b;
  const std::uint32_t v = static_cast<std::uint32_t>(b.int_video(7));
  ASSERT_EQ(b.add("cat", v, 0xFFFFFFF0u), Refusal::None);
  const std::tuple<std::string, std::uint64_t, Refusal> cases[] = {
      {"", 1, Refusal::EmptyTerm},
      {std::string("a\0b", 3), 1, Refusal::NulInTerm},
      {"\xed\xa0\x80", 1, Refusal::InvalidUtf8},  // a surrogate
      {"\xc3", 1, Refusal::InvalidUtf8},          // truncated
      {"cat", 0x10, Refusal::TotalPastU32},
      {"dog", 0x100000000u, Refusal::TotalPastU32},
  };
  for (const auto& [term, count, refusal] : cases) {
    EXPECT_EQ(b.add(term, v, count), refusal) << term;
  }
  EXPECT_EQ(b.add("cat", v, 0xF), Refusal::None);  // exactly 2^32-1 in all
  EXPECT_EQ(b.record_count(), 2u);
  EXPECT_EQ(b.term_count(), 1u);
}

TEST(IndexBuilder, VideosAreNumberedInOrderAndNeverMixed) {
  IndexBuilder b;
  Uuid a{}, c{};
  a[0] = 1;
  c[15] = 2;
  EXPECT_EQ(b.uuid_video(a), 0);
  EXPECT_EQ(b.uuid_video(c), 1);
  EXPECT_EQ(b.uuid_video(a), 0);
  EXPECT_EQ(b.int_video(5), -1);

  IndexBuilder i;
  for (std::uint32_t k = 0; k < 5000; ++k) EXPECT_EQ(i.int_video(k * 7919u), k);
  for (std::uint32_t k = 0; k < 5000; ++k) EXPECT_EQ(i.int_video(k * 7919u), k);
  EXPECT_EQ(i.uuid_video(a), -1);
}

}  // namespace
}  // namespace tessaloom::builder
