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

TEST(PayloadTable, PushingWithoutReserveGrowsGeometrically) {
  // Each change of memory_bytes() is a reallocation; pushing one node at a
  // time must not reallocate per push.
  PayloadTable t;
  const std::vector<std::uint32_t> one = {7};
  std::size_t reallocations = 0, last = t.memory_bytes();
  for (std::size_t i = 0; i < 100000; ++i) {
    if (i % 3 == 0) {
      t.push_absent();
    } else {
      t.push({1, one, one});
    }
    if (t.memory_bytes() != last) ++reallocations;
    last = t.memory_bytes();
  }
  EXPECT_LT(reallocations, 150u);
  EXPECT_EQ(t.size(), 100000u);
  EXPECT_FALSE(t.get(99999).has_value());
  EXPECT_EQ(t.get(99998)->video_ids[0], 7u);
}

TEST(PayloadTable, AFailedPushLeavesTheTableAsItWas) {
  PayloadTable t;
  const std::vector<std::uint32_t> ids = {1, 2}, counts = {3, 4};
  t.push({5, ids, counts});
  const PayloadTable before = t;
  const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2;
  EXPECT_THROW(t.push_uninitialized(9, huge, 0), std::bad_alloc);
  EXPECT_THROW(t.push_uninitialized(9, 3, huge), std::bad_alloc);
  EXPECT_EQ(t, before);
  EXPECT_EQ(t.entry_count(), 2u);
  t.push({6, ids, counts});
  EXPECT_EQ(t.get(1)->total_count, 6u);
}

TEST(PayloadTable, CountsOfTheirOwnLengthAfterTheFirstMismatch) {
  // Counts share the ids' offsets until a payload has a different number of
  // each; earlier and later payloads must read back unchanged.
  PayloadTable t;
  const std::vector<std::uint32_t> a = {1, 2}, b = {3}, c = {4, 5, 6};
  t.push({1, a, a});
  t.push_absent();
  t.push({2, a, b});
  t.push({3, c, c});
  t.push({4, {}, c});
  const std::vector<std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>>>
      want = {{a, a}, {}, {a, b}, {c, c}, {{}, c}};
  for (std::size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(i);
    const auto p = t.get(i);
    ASSERT_EQ(p.has_value(), i != 1);
    if (!p) continue;
    EXPECT_EQ(std::vector<std::uint32_t>(p->video_ids.begin(), p->video_ids.end()), want[i].first);
    EXPECT_EQ(std::vector<std::uint32_t>(p->video_counts.begin(), p->video_counts.end()),
              want[i].second);
  }
}

TEST(EntryEnds, OffsetsPastFourBillionKeepTheirHighBits) {
  EntryEnds e;
  const std::uint64_t g = std::uint64_t{1} << 32;
  const std::vector<std::uint64_t> values = {0, 5, g - 1, g, g + 3, g + 3, 3 * g + 1, 3 * g + 1, 7 * g};
  for (std::uint64_t v : values) e.push_back(v);
  ASSERT_EQ(e.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(e[i], values[i]) << i;

  EntryEnds set;
  set.resize_for_overwrite(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) set.set(i, values[i]);
  for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(set[i], values[i]) << i;
}

TEST(PodArray, LargeBlocksCopyTrimAndCompareLikeSmallOnes) {
  // Small and large (8 MB) blocks, grown, cut back and moved.
  for (std::size_t n : {std::size_t{10}, std::size_t{2} << 20}) {
    SCOPED_TRACE(n);
    PodArray<std::uint32_t> a;
    a.reserve(n + 100000);
    a.resize_for_overwrite(n);
    for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<std::uint32_t>(i * 2654435761u);
    a.shrink_to_fit();
    EXPECT_GE(a.capacity(), n);
    PodArray<std::uint32_t> b = a;
    EXPECT_EQ(a, b);
    b.push_back(1);
    EXPECT_FALSE(a == b);
    PodArray<std::uint32_t> c = std::move(b);
    EXPECT_EQ(c.size(), n + 1);
    EXPECT_EQ(c[n - 1], a[n - 1]);
    c.resize(n + 3, 9);
    EXPECT_EQ(c[n + 2], 9u);
    c.reserve(4 * n);  // moves the block; the values come along
    EXPECT_EQ(c[n / 2], a[n / 2]);
  }
}

}  // namespace
}  // namespace tessaloom
