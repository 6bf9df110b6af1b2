// The compact layout and its walk: it must give exactly the results of the
// walk over the arrays (and of the brute-force reference) on every shape of
// input, and it must step aside for arrays that are not a clean tree.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/fault.h"
#include "matcher_reference.h"
#include "prefix/matcher/band_automaton.h"
#include "prefix/matcher/compact_trie.h"
#include "prefix/matcher/matcher.h"

namespace tessaloom::prefix::matcher {
namespace {

using testing::reference_match;
using testing::reference_nodes;
using testing::TestNode;
using testing::trie_from_nodes;
using testing::trie_from_terms;
using testing::u32;
using testing::utf8;

// Runs every entry point on the query and requires them all to agree with
// the reference.
void expect_all_agree(const Trie& t, const CompactTrie& ct,
                      const std::u32string& q, std::uint32_t k,
                      std::size_t limit) {
  const std::string query = utf8(q);
  const auto ref = reference_match(t, q, k);
  ASSERT_EQ(fuzzy_match(t, ct, query, k, {}), ref);
  ASSERT_EQ(fuzzy_match(t, query, k, {}), ref);
  ASSERT_EQ(fuzzy_match(t, ct, query, k, limit), reference_match(t, q, k, limit));
  for (bool terminal_only : {false, true}) {
    const auto ref_nodes = reference_nodes(t, q, k, terminal_only);
    ASSERT_EQ(fuzzy_match_nodes(t, ct, query, k, terminal_only), ref_nodes);
    ASSERT_EQ(fuzzy_match_nodes(t, query, k, terminal_only), ref_nodes);
  }
}

TEST(CompactWalk, ExhaustiveSmallAlphabet) {
  const std::u32string alphabet = U"ab\u00e9";
  std::vector<std::u32string> words{U""};
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i].size() < 4) {
      for (char32_t ch : alphabet) words.push_back(words[i] + ch);
    }
  }
  std::vector<std::u32string> terms;
  for (std::size_t i = 1; i < words.size(); i += 2) terms.push_back(words[i]);
  for (bool reverse : {false, true}) {
    const Trie t = trie_from_terms(terms, reverse);
    const CompactTrie ct(t);
    ASSERT_TRUE(ct.usable());
    for (const auto& q : words) {
      for (std::uint32_t k = 0; k <= 3; ++k) {
        SCOPED_TRACE(utf8(q) + " d" + std::to_string(k));
        expect_all_agree(t, ct, q, k, 3);
      }
    }
  }
}

// Random trees numbered breadth-first or at random, with repeated sibling
// labels, U+0000 subtrees and non-ASCII labels, against queries that repeat
// characters (so a window holds several matches) at distances 0 to 4 (4
// takes the array walk).
TEST(CompactWalk, RandomTriesAgreeWithArraysAndReference) {
  std::mt19937 rng(77);
  const std::u32string alphabet = U"abc\u00e9\u4e2d\U0001F600";
  for (int round = 0; round < 400; ++round) {
    std::u32string letters = alphabet;
    if (round % 4 == 0) letters += char32_t{0};
    const Trie t = testing::random_trie(rng, letters, 80, 4, round % 2 == 1);
    const CompactTrie ct(t);
    ASSERT_TRUE(ct.usable());
    for (int qi = 0; qi < 6; ++qi) {
      const std::u32string q = testing::random_query(rng, alphabet, 7);
      const std::uint32_t k = rng() % 5;
      SCOPED_TRACE("round " + std::to_string(round) + " query " + utf8(q) +
                   " d" + std::to_string(k));
      expect_all_agree(t, ct, q, k, 1 + rng() % 4);
    }
  }
}

TEST(CompactWalk, LongQueriesAroundTheWindowLimit) {
  std::mt19937 rng(5);
  // Deep chains of random letters with branches, and queries up to 70
  // characters drawn from the same letters (64 is the compact walk's limit).
  std::vector<std::u32string> terms;
  for (int i = 0; i < 40; ++i) terms.push_back(testing::random_query(rng, U"ab\u00e9", 70));
  const Trie t = trie_from_terms(terms);
  const CompactTrie ct(t);
  for (const auto& term : terms) {
    for (std::uint32_t k = 0; k <= 3; ++k) {
      std::u32string q = term;
      if (!q.empty()) q[rng() % q.size()] = U'b';
      SCOPED_TRACE(utf8(q) + " d" + std::to_string(k));
      expect_all_agree(t, ct, q, k, 2);
    }
  }
}

// A label outside ASCII is held as byte 0 among the label bytes, so a query
// holding U+0000 must not be decided on those bytes: here it would match
// 'é' and '中' at distance 0.
TEST(CompactWalk, QueryWithNulAgainstLabelsOutsideAscii) {
  const Trie t = trie_from_terms({u32("\u00e9"), u32("a"), u32("\u4e2dx"), u32("ab")});
  const CompactTrie ct(t);
  ASSERT_TRUE(ct.usable());
  for (const std::u32string& q :
       {std::u32string(1, U'\0'), std::u32string(U"\0x"), std::u32string(U"a\0")}) {
    for (std::uint32_t k = 0; k <= 2; ++k) {
      SCOPED_TRACE(utf8(q) + " d" + std::to_string(k));
      expect_all_agree(t, ct, q, k, 2);
    }
  }
  EXPECT_TRUE(fuzzy_match(t, ct, std::string(1, '\0'), 0, {}).empty());
}

// A block wider than the walk's retained working storage, ASCII and other
// labels mixed, walked twice and then followed by a small query on the same
// thread: the storage kept between walks must not leak state into the next.
TEST(CompactWalk, HugeBlockThenSmallQuery) {
  std::vector<TestNode> nodes{{0, false, {}}};
  for (char32_t ch = 1; nodes.size() <= 70000; ++ch) {
    if (ch >= 0xD800 && ch <= 0xDFFF) continue;
    nodes[0].children.push_back(static_cast<std::uint32_t>(nodes.size()));
    nodes.push_back({ch, ch % 3 != 0, {}});
  }
  const Trie wide = trie_from_nodes(nodes);
  const CompactTrie wide_ct(wide);
  ASSERT_TRUE(wide_ct.usable());
  for (const char* q : {"", "a", "\xc3\xa9"}) {
    SCOPED_TRACE(q);
    const auto expected = fuzzy_match(wide, q, 1, {});
    EXPECT_GT(expected.size(), 40000u);
    EXPECT_EQ(fuzzy_match(wide, wide_ct, q, 1, {}), expected);
    EXPECT_EQ(fuzzy_match_nodes(wide, wide_ct, q, 1, false),
              fuzzy_match_nodes(wide, q, 1, false));
  }
  const Trie small = trie_from_terms({u32("cat"), u32("car"), u32("cart")});
  const CompactTrie small_ct(small);
  expect_all_agree(small, small_ct, u32("cat"), 1, 2);
  expect_all_agree(small, small_ct, u32("x"), 3, 1);
}

TEST(CompactTrie, RenumbersToBreadthFirstAndMapsBack) {
  // root -> 3(b), 1(a); 3 -> 2(c). Edge order is b before a.
  const Trie t = trie_from_nodes({{0, false, {3, 1}},
                                  {U'a', true, {}},
                                  {U'c', true, {}},
                                  {U'b', false, {2}}});
  const CompactTrie ct(t);
  ASSERT_TRUE(ct.usable());
  ASSERT_EQ(ct.node_count(), 4u);
  EXPECT_EQ(ct.original(1), 3u);
  EXPECT_EQ(ct.original(2), 1u);
  EXPECT_EQ(ct.original(3), 2u);
  EXPECT_EQ(fuzzy_match_nodes(t, ct, "bc", 1, false),
            (std::vector<NodeMatch>{{3, 1}, {2, 0}}));
  EXPECT_EQ(fuzzy_match_nodes(t, ct, "a", 1, false),
            (std::vector<NodeMatch>{{3, 1}, {1, 0}}));
  // A trie already in breadth-first edge order needs no map.
  const Trie bfs = trie_from_terms({u32("ab"), u32("b")});
  EXPECT_EQ(CompactTrie(bfs).memory_bytes(), (4 + 1) * 4u + 4 * (1 + 4u));
}

// On arrays that are not a clean tree the layout is empty, and the overloads
// behave exactly as the array walk, faults included.
TEST(CompactTrie, StepsAsideForArraysThatAreNotACleanTree) {
  struct Case {
    const char* name;
    void (*spoil)(Trie&);
    std::uint32_t max_dist;
    bool faults;  // a "ca" query at max_dist meets the defect
  };
  const Case cases[] = {
      {"shared node", [](Trie& t) { t.child_transitions[3] = 5; }, 2, false},
      {"cycle, pruned", [](Trie& t) { t.child_transitions[4] = 3; }, 2, false},
      {"cycle, followed", [](Trie& t) { t.child_transitions[4] = 3; }, 100, true},
      {"edge range past the edge count",
       [](Trie& t) { t.node_shifts[2] = 99; }, 2, true},
      {"edge range past the edge count, not reached",
       [](Trie& t) { t.node_shifts[5] = 99; }, 0, false},
      {"child beyond the node count",
       [](Trie& t) { t.child_transitions[2] = 50; }, 2, true},
      {"terminal too short", [](Trie& t) { t.terminal.resize(4); }, 2, true},
      {"node_shifts too short", [](Trie& t) { t.node_shifts.resize(5); }, 2, true},
      {"node_shifts too long", [](Trie& t) { t.node_shifts.push_back(0); }, 2, false},
      {"surrogate label", [](Trie& t) { t.child_labels[5] = 0xDC00; }, 2, true},
      {"root reached again",
       [](Trie& t) { t.child_labels[0] = U'x'; t.child_transitions[1] = 0; }, 2,
       false},
      {"root reached again, followed",
       [](Trie& t) { t.child_labels[0] = U'x'; t.child_transitions[1] = 0; }, 9,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // root -> c(1), d(2); c -> a(3); d -> o(4); a -> t(5), r(6).
    Trie t = trie_from_nodes({{0, false, {1, 2}},
                              {U'c', false, {3}},
                              {U'd', false, {4}},
                              {U'a', false, {5, 6}},
                              {U'o', true, {}},
                              {U't', true, {}},
                              {U'r', true, {}}});
    ASSERT_TRUE(CompactTrie(t).usable());
    c.spoil(t);
    const CompactTrie ct(t);
    EXPECT_FALSE(ct.usable());
    if (c.faults) {
      EXPECT_THROW(fuzzy_match(t, ct, "ca", c.max_dist, {}), InternalFault);
      EXPECT_THROW(fuzzy_match(t, "ca", c.max_dist, {}), InternalFault);
    } else {
      EXPECT_EQ(fuzzy_match(t, ct, "ca", c.max_dist, {}),
                fuzzy_match(t, "ca", c.max_dist, {}));
      EXPECT_EQ(fuzzy_match_nodes(t, ct, "ca", c.max_dist, false),
                fuzzy_match_nodes(t, "ca", c.max_dist, false));
    }
  }
  EXPECT_FALSE(CompactTrie(Trie{}).usable());
  EXPECT_TRUE(fuzzy_match(Trie{}, CompactTrie{}, "a", 1, {}).empty());
}

// Arrays that look breadth-first (edge e leads to node e+1) but are not a
// tree: the layout must follow what the walk sees, not the numbering.
TEST(CompactTrie, BreadthFirstLookalikes) {
  struct Case {
    const char* name;
    std::vector<std::uint32_t> shifts;
    bool usable;
  };
  const Case cases[] = {
      {"tree", {0, 1, 2}, true},
      {"self edges below an empty root", {0, 0, 1}, true},
      {"node 1 owns its own edge", {0, 0, 2}, true},
      {"unreachable self edge on node 2", {0, 1, 1}, true},
      {"decreasing shifts", {1, 0, 2}, true},
      {"range past the edges", {0, 1, 3}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Trie t = trie_from_nodes({{0, false, {1}}, {U'a', true, {2}}, {U'b', true, {}}});
    t.node_shifts = c.shifts;
    const CompactTrie ct(t);
    // The result, or nullopt for an internal fault.
    auto outcome = [](auto run) -> std::optional<decltype(run())> {
      try {
        return run();
      } catch (const InternalFault&) {
        return std::nullopt;
      }
    };
    for (std::uint32_t k : {0u, 1u, 3u}) {
      EXPECT_EQ(outcome([&] { return fuzzy_match(t, ct, "ab", k, {}); }),
                outcome([&] { return fuzzy_match(t, "ab", k, {}); }));
      EXPECT_EQ(outcome([&] { return fuzzy_match_nodes(t, ct, "", k, false); }),
                outcome([&] { return fuzzy_match_nodes(t, "", k, false); }));
    }
    EXPECT_EQ(ct.usable(), c.usable);
  }
}

// The automaton's transitions against the recurrence they stand for, from
// every reachable band and every window.
TEST(BandAutomaton, SmallAndClosed) {
  const std::size_t expected_max_states[] = {3, 30, 400, 5000};
  for (std::uint32_t k = 0; k <= BandAutomaton::kMaxK; ++k) {
    SCOPED_TRACE(k);
    const BandAutomaton& a = band_automaton(k);
    EXPECT_EQ(&a, &band_automaton(k));
    EXPECT_LE(a.state_count(), expected_max_states[k]);
    EXPECT_EQ(a.next.size(), a.state_count() * a.mask_count);
    for (std::uint32_t m = 0; m < a.mask_count; ++m) {
      EXPECT_EQ(a.next[m], BandAutomaton::kDead);
    }
    for (std::size_t s = 1; s < a.state_count(); ++s) {
      bool alive = false;
      for (std::uint32_t i = 0; i < a.width; ++i) alive |= a.cells[s * a.width + i] <= k;
      EXPECT_TRUE(alive) << "state " << s;
    }
  }
  EXPECT_THROW(band_automaton(4), std::out_of_range);
}

}  // namespace
}  // namespace tessaloom::prefix::matcher
