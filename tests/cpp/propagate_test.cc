#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "common/fault.h"
#include "print.h"
#include "prefix/trie/trie.h"

namespace tessaloom {
namespace {

using Ids = std::vector<std::uint32_t>;
using OptPayload = std::optional<Payload>;
constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();

Trie make_trie(std::vector<std::uint32_t> shifts,
               std::vector<std::uint32_t> transitions,
               const std::vector<OptPayload>& payloads) {
  Trie t;
  t.node_shifts = std::move(shifts);
  t.child_transitions = std::move(transitions);
  t.child_labels.assign(payloads.size(), U'x');
  t.terminal.assign(payloads.size(), 0);
  for (const auto& p : payloads) {
    if (p) {
      t.payloads.push(p->view());
    } else {
      t.payloads.push_absent();
    }
  }
  return t;
}

std::vector<Payload> payloads_of(const Trie& t) {
  std::vector<Payload> out;
  for (std::size_t i = 0; i < t.payloads.size(); ++i) {
    auto v = t.payloads.get(i);
    EXPECT_TRUE(v.has_value()) << "node " << i << " has no payload";
    out.push_back(v ? Payload::from_view(*v) : Payload{});
  }
  return out;
}

// The straightforward propagation: one merge per child edge, highest node
// first, each node's payload then cut.
std::vector<Payload> reference_propagate(const Trie& t, std::size_t top_n) {
  const std::size_t n = t.node_count();
  std::vector<Payload> p(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (auto v = t.payloads.get(i)) p[i] = Payload::from_view(*v);
  }
  for (std::size_t i = n; i-- > 0;) {
    const EdgeRange r = t.edge_range(i);
    Payload acc = p[i];
    for (std::size_t e = r.begin; e < r.end; ++e) {
      const std::size_t c = t.child_transitions[e];
      if (c != i) acc.merge_from(p[c].view());
    }
    if (acc.video_ids.size() > top_n) {
      acc.video_ids.resize(top_n);
      acc.video_counts.resize(std::min(acc.video_counts.size(), top_n));
    }
    p[i] = std::move(acc);
  }
  return p;
}

struct Case {
  const char* name;
  std::vector<std::uint32_t> shifts, transitions;
  std::vector<OptPayload> supplied;
  std::size_t top_n;
  std::vector<Payload> expected;
};

TEST(Propagate, Examples) {
  const Payload p1{3, {5}, {2}}, p2{10, {5, 6}, {1, 9}};
  const Case cases[] = {
      {"chain keeps the leaf as supplied", {0, 1, 2}, {1, 2},
       {std::nullopt, p1, p2}, 10,
       {{13, {6, 5}, {9, 3}}, {13, {6, 5}, {9, 3}}, {10, {5, 6}, {1, 9}}}},
      {"chain cut at every level", {0, 1, 2}, {1, 2},
       {std::nullopt, p1, p2}, 1,
       {{13, {5}, {3}}, {13, {5}, {3}}, {10, {5}, {1}}}},
      {"top_n 0 keeps totals only", {0, 1, 2}, {1, 2},
       {std::nullopt, p1, p2}, 0, {{13, {}, {}}, {13, {}, {}}, {10, {}, {}}}},
      {"self edge merges nothing", {0, 2}, {0, 1},
       {Payload{1, {2, 2}, {1, 1}}, Payload{1, {3}, {4}}}, 10,
       {{2, {3, 2}, {4, 2}}, {1, {3}, {4}}}},
      {"only a self edge: not merged, not reordered", {0}, {0},
       {Payload{1, {2, 1, 2}, {1, 5, 1}}}, 10, {{1, {2, 1, 2}, {1, 5, 1}}}},
      {"child numbered below its parent gives its supplied payload",
       // 0 -> 2 -> 1 -> 3: node 2 is finished before node 1 has taken in 3.
       {0, 1, 2, 3}, {2, 3, 1},
       {std::nullopt, Payload{1, {4}, {1}}, Payload{2, {7}, {2}},
        Payload{5, {9}, {5}}},
       10,
       {{3, {7, 4}, {2, 1}}, {6, {9, 4}, {5, 1}}, {3, {7, 4}, {2, 1}},
        {5, {9}, {5}}}},
      {"decreasing node_shifts means no children", {0, 2, 1}, {1, 2},
       {std::nullopt, Payload{1, {1}, {1}}, Payload{1, {2}, {1}}}, 10,
       {{2, {1, 2}, {1, 1}}, {1, {1}, {1}}, {1, {2}, {1}}}},
      {"siblings merge in edge order, ties by ascending id", {0, 2, 2}, {2, 1},
       {std::nullopt, Payload{1, {9, 3}, {2, 2}}, Payload{1, {5}, {2}}}, 10,
       {{2, {3, 5, 9}, {2, 2, 2}}, {1, {9, 3}, {2, 2}}, {1, {5}, {2}}}},
      {"duplicates in a leaf survive, merged above", {0, 1}, {1},
       {std::nullopt, Payload{0, {8, 8}, {1, 2}}}, 10,
       {{0, {8}, {3}}, {0, {8, 8}, {1, 2}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Trie t = make_trie(c.shifts, c.transitions, c.supplied);
    t.propagate(c.top_n);
    EXPECT_EQ(payloads_of(t), c.expected);
  }
}

TEST(Propagate, SaturatedCountsFollowTheChildByChildMerge) {
  // Summed at once, video 1 (2^33-2) would lead video 2 (2^32+7). Merged
  // child by child, both are stored saturated after the second child, and
  // the third child's 3 then puts video 2 ahead.
  std::vector<OptPayload> supplied = {
      std::nullopt, Payload{kMax, {2, 1}, {kMax, kMax - 1}},
      Payload{kMax, {1, 2}, {kMax, 5}}, Payload{7, {2}, {3}}};
  Trie t = make_trie({0, 3, 3, 3}, {1, 2, 3}, supplied);
  const auto expected = reference_propagate(t, 10);
  t.propagate(10);
  EXPECT_EQ(payloads_of(t), expected);
  EXPECT_EQ(payloads_of(t)[0], (Payload{kMax, {2, 1}, {kMax, kMax}}));
}

TEST(Propagate, EdgeRangePastTheEdgesIsAFaultAndChangesNothing) {
  Trie t = make_trie({0, 5}, {1}, {std::nullopt, Payload{1, {1}, {1}}});
  const Trie before = t;
  EXPECT_THROW(t.propagate(10), InternalFault);
  EXPECT_EQ(t, before);
}

TEST(Propagate, EmptyIndex) {
  Trie t;
  EXPECT_NO_THROW(t.propagate(3));
  EXPECT_EQ(t.payloads.size(), 0u);
}

TEST(Propagate, DeepChainDoesNotRecurse) {
  const std::size_t n = 1'000'000;
  std::vector<std::uint32_t> shifts(n), transitions(n - 1);
  std::vector<OptPayload> supplied(n);
  for (std::size_t i = 0; i < n; ++i) shifts[i] = static_cast<std::uint32_t>(i);
  for (std::size_t i = 0; i + 1 < n; ++i)
    transitions[i] = static_cast<std::uint32_t>(i + 1);
  supplied[n - 1] = Payload{2, {9}, {2}};
  Trie t = make_trie(shifts, transitions, supplied);
  t.propagate(5);
  EXPECT_EQ(Payload::from_view(*t.payloads.get(0)), (Payload{2, {9}, {2}}));
}

// Random arrays of every shape construction accepts (children numbered
// above or below their parent, self edges, shared children, unordered
// shifts) against the one-merge-per-edge reference.
TEST(Propagate, AgreesWithReferenceOnRandomArrays) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    const std::size_t n = 1 + rng() % 12;
    const std::size_t e = rng() % 16;
    std::vector<std::uint32_t> shifts(n), transitions(e);
    const bool tree_like = round % 2 == 0;
    for (std::size_t i = 0; i < n; ++i) shifts[i] = rng() % (e + 1);
    if (tree_like) std::sort(shifts.begin(), shifts.end());
    for (auto& c : transitions) c = rng() % n;
    std::vector<OptPayload> supplied(n);
    for (auto& p : supplied) {
      if (rng() % 3 == 0) continue;
      Payload q;
      q.total_count = rng() % 4 == 0 ? kMax - rng() % 3 : rng() % 50;
      const std::size_t k = rng() % 5;
      for (std::size_t j = 0; j < k; ++j) {
        q.video_ids.push_back(rng() % 6);
        q.video_counts.push_back(rng() % 8 == 0 ? kMax - rng() % 2 : rng() % 4);
      }
      p = q;
    }
    Trie t = make_trie(shifts, transitions, supplied);
    const std::size_t top_n = rng() % 5;
    std::optional<std::vector<Payload>> expected;
    try {
      expected = reference_propagate(t, top_n);
    } catch (const InternalFault&) {
    }
    if (!expected) {
      EXPECT_THROW(t.propagate(top_n), InternalFault);
      continue;
    }
    t.propagate(top_n);
    EXPECT_EQ(payloads_of(t), *expected);
  }
}

}  // namespace
}  // namespace tessaloom
