#include "payload/payload.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "common/fault.h"
#include "print.h"

namespace tessaloom {
namespace {

constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();

Payload make(std::uint32_t total, std::vector<std::uint32_t> ids,
             std::vector<std::uint32_t> counts) {
  return Payload{total, std::move(ids), std::move(counts)};
}

struct MergeCase {
  const char* name;
  Payload self;
  Payload other;
  Payload expected;
};

TEST(PayloadMerge, Table) {
  const MergeCase cases[] = {
      {"two empties add totals", make(3, {}, {}), make(4, {}, {}),
       make(7, {}, {})},
      {"empty other still groups and sorts", make(0, {7, 3, 7}, {1, 5, 2}),
       make(0, {}, {}), make(0, {3, 7}, {5, 3})},
      {"sums across sides", make(1, {1, 2}, {4, 4}), make(1, {2}, {1}),
       make(2, {2, 1}, {5, 4})},
      {"total saturates", make(kMax, {}, {}), make(1, {}, {}),
       make(kMax, {}, {})},
      {"equal sums by ascending id", make(0, {9, 4, 6}, {5, 5, 1}),
       make(0, {}, {}), make(0, {4, 9, 6}, {5, 5, 1})},
      // 2^33 is stored saturated, and still sorts by its full value.
      {"per-video sum saturates", make(0, {1, 2}, {kMax, 3}),
       make(0, {1, 1, 2}, {kMax, 2, kMax}),
       make(0, {1, 2}, {kMax, kMax})},
      {"duplicates within other", make(5, {}, {}), make(6, {3, 3, 4}, {1, 1, 1}),
       make(11, {3, 4}, {2, 1})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Payload p = c.self;
    p.merge_from(c.other.view());
    EXPECT_EQ(p, c.expected);
  }
}

TEST(PayloadMerge, SaturatedTotalOrdersAheadOfSmallerTotals) {
  // id 1 sums to 2^33 (stored saturated), id 2 to 2^32 + 5: the larger
  // 64-bit sum decides the order although both store the same count.
  Payload p = make(0, {2, 2, 1, 1, 1}, {kMax, 6, kMax, kMax, 2});
  p.merge_from(PayloadView{});
  EXPECT_EQ(p, make(0, {1, 2}, {kMax, kMax}));
}

TEST(PayloadMerge, ShortCountsAreAFaultAndChangeNothing) {
  Payload p = make(1, {1, 2}, {3, 4});
  const std::vector<std::uint32_t> ids = {5, 6}, counts = {1};
  EXPECT_THROW(p.merge_from({0, ids, counts}), InternalFault);
  EXPECT_EQ(p, make(1, {1, 2}, {3, 4}));
  Payload bad = make(1, {1, 2}, {3});
  EXPECT_THROW(bad.merge_from(PayloadView{}), InternalFault);
}

TEST(PayloadTable, StoresOptionalPayloadsInOrder) {
  PayloadTable t;
  const std::vector<std::uint32_t> ids = {4, 5}, counts = {6};
  t.push_absent();
  t.push({9, ids, counts});
  t.push({0, {}, {}});
  ASSERT_EQ(t.size(), 3u);
  EXPECT_FALSE(t.get(0).has_value());
  auto p = t.get(1);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->total_count, 9u);
  EXPECT_EQ(std::vector<std::uint32_t>(p->video_ids.begin(), p->video_ids.end()), ids);
  EXPECT_EQ(std::vector<std::uint32_t>(p->video_counts.begin(), p->video_counts.end()), counts);
  EXPECT_TRUE(t.get(2)->video_ids.empty());
  EXPECT_THROW(t.checked_get(3), InternalFault);
}

}  // namespace
}  // namespace tessaloom
