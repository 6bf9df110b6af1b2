// The edit-distance walk, over the arrays and over the compact layout:
// documented examples and odd or broken arrays in one table, every entry
// point against the brute-force reference (exhaustive and random), and the
// long and deep cases that must neither wrap nor exhaust the stack.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "common/budget.h"
#include "common/fault.h"
#include "helpers.h"
#include "index/index.h"
#include "prefix/matcher/array_walk.h"

namespace tessaloom::prefix::matcher {

using common::MemoryBudget;
using common::QueryTooLarge;
using trie::Trie;

namespace {

using index::Index;

using test::trie_from_nodes;
using test::trie_from_terms;
using test::u32;
using test::utf8;

std::string render(const std::vector<MatchResult>& rs) {
  std::string out;
  for (const auto& r : rs)
    out += (out.empty() ? "" : " ") + r.term + ":" + std::to_string(r.distance);
  return out;
}
std::string render(const std::vector<NodeMatch>& rs) {
  std::string out;
  for (const auto& r : rs)
    out += (out.empty() ? "" : " ") + std::to_string(r.node) + ":" + std::to_string(r.distance);
  return out;
}
template <class F>
std::string outcome(F f) {
  return test::outcome(f, [](const auto& r) { return render(r); });
}

// One trie as two index values: one walking the compact layout where it
// serves, one always walking the arrays.
struct Both {
  Index fast, arrays;
  explicit Both(const Trie& t) : fast(t), arrays(t, Index::Walk::Arrays) {}
};

// Every entry point, over both walks, against the reference.
void expect_all_agree(const Both& b, const std::u32string& q, std::uint32_t k, std::size_t limit) {
  const Trie& t = b.fast.trie();
  std::vector<MatchResult> terms, first;
  std::vector<NodeMatch> nodes[2];  // all, terminal only
  for (const auto& r : test::reference_walk(t, q, k)) {
    nodes[0].push_back({r.node, r.distance});
    if (!t.terminal[r.node]) continue;
    nodes[1].push_back({r.node, r.distance});
    terms.push_back({utf8(r.term), r.node, r.distance});
    if (first.size() < limit) first.push_back(terms.back());
  }
  const std::string query = utf8(q);
  for (const Index* i : {&b.fast, &b.arrays}) {
    ASSERT_EQ(i->fuzzy_match(query, k, {}), terms);
    ASSERT_EQ(i->fuzzy_match(query, k, limit), first);
    for (bool terminal_only : {false, true})
      ASSERT_EQ(i->fuzzy_match_nodes(query, k, terminal_only), nodes[terminal_only]);
  }
}

// root -> c(1), d(2); c -> a(3); d -> o(4); a -> t(5), r(6) (r, t when
// r_first); o -> g(7); r -> t(8). Terms: cat, car, cart, dog. Edge e of
// node i: shifts 0 2 3 4 6 7 7 8 8.
Trie cat_trie(bool r_first = false) {
  return trie_from_nodes(
      {{0, false, {1, 2}},
       {U'c', false, {3}},
       {U'd', false, {4}},
       {U'a', false, r_first ? std::vector<std::uint32_t>{6, 5} : std::vector<std::uint32_t>{5, 6}},
       {U'o', false, {7}},
       {U't', true, {}},
       {U'r', true, {8}},
       {U'g', true, {}},
       {U't', true, {}}});
}
Trie cat_with(std::function<void(Trie&)> spoil) {
  Trie t = cat_trie();
  spoil(t);
  return t;
}
Trie with_shifts(std::vector<std::uint32_t> shifts) {  // root -a-> 1 -b-> 2 with other shifts
  Trie t = trie_from_nodes({{0, false, {1}}, {U'a', true, {2}}, {U'b', true, {}}});
  t.node_shifts = std::move(shifts);
  return t;
}

// Documented examples, then shapes the random tries never take (nodes on
// two paths, cycles, self edges, no nodes) and arrays broken in each way a
// walk can meet: exact answers or faults, with and without the layout.
TEST(FuzzyMatch, ExamplesAndOddArrays) {
  constexpr std::uint32_t kHuge = 4294967295u;
  const Trie cycle = trie_from_nodes({{0, false, {1}}, {U'a', true, {2}}, {U'b', true, {1}}});
  const Trie self = trie_from_nodes({{U'x', true, {0}}});
  // Cycles with several edges back, and a chain of double edges: the paths
  // grow exponentially with depth, so the walk's edge budget stops them.
  const Trie many_self = trie_from_nodes({{U'a', true, {0, 0, 0, 0}}});
  std::vector<test::TestNode> doubled;
  for (std::uint32_t i = 0; i < 24; ++i) doubled.push_back({U'a', true, {i + 1, i + 1}});
  doubled.push_back({U'a', true, {}});
  const Trie doubled_chain = trie_from_nodes(doubled);
  const struct {
    Trie trie;
    std::string query;
    std::uint32_t k;
    std::optional<std::size_t> limit;
    const char* terms;  // fuzzy_match, or "fault"; nullptr: not checked
    const char* nodes;  // fuzzy_match_nodes, all nodes
    bool usable;        // the compact layout could be built
  } cases[] = {
      {cat_trie(), "cat", 1, {}, "cat:0 car:1 cart:1", "3:1 5:0 6:1 8:1", true},
      {cat_trie(), "cat", 1, 2, "cat:0 car:1", {}, true},
      {cat_trie(true), "cat", 1, {}, "car:1 cart:1 cat:0", {}, true},
      {cat_trie(), "ca", 1, {}, "cat:1 car:1", "1:1 3:0 5:1 6:1", true},
      {cat_trie(), "x", kHuge, {}, "cat:3 car:3 cart:4 dog:3", {}, true},
      // root -> a, b, both leading to c.
      {trie_from_nodes(
           {{0, false, {1, 2}}, {U'a', false, {3}}, {U'b', false, {3}}, {U'c', true, {}}}),
       "ac",
       1,
       {},
       "ac:0 bc:1",
       {},
       false},
      {cycle, "ab", 1, {}, "a:1 ab:0 aba:1", {}, false},
      {cycle, "ab", kHuge, {}, "fault", "fault", false},
      {self, "", 5, {}, "fault", {}, false},
      {self, "x", 0, {}, nullptr, "0:0", false},
      {many_self, std::string(40, 'a'), 2, {}, "fault", "fault", false},
      {doubled_chain, std::string(24, 'a'), 0, {}, "fault", "fault", false},
      {doubled_chain, "aa", 0, {}, "aa:0 aa:0 aa:0 aa:0", {}, false},
      {Trie{}, "abc", 5, {}, "", "", false},
      {Trie{}, "", kHuge, {}, "", "", false},
      {cat_with([](Trie& t) { t.node_shifts[3] = 99; }), "cat", 3, {}, "fault", {}, false},
      {cat_with([](Trie& t) { t.child_transitions[2] = 40; }), "cat", 3, {}, "fault", {}, false},
      {cat_with([](Trie& t) { t.terminal.resize(3); }), "cat", 3, {}, "fault", {}, false},
      // Nodes-only walks never read the terminal flags.
      {cat_with([](Trie& t) { t.terminal.clear(); }), "cat", 0, {}, "fault", "5:0", false},
      {cat_with([](Trie& t) { t.child_labels[5] = 0xD800; }), "cat", 3, {}, "fault", {}, false},
      // The root reached again (the walk never reports node 0 otherwise).
      {cat_with([](Trie& t) {
         t.child_labels[0] = U'x';
         t.child_transitions[1] = 0;
       }),
       "ca",
       9,
       {},
       "fault",
       {},
       false},
      // Arrays that look breadth-first (edge e leads to node e+1) but are not
      // a tree: the layout follows what the walk sees, not the numbering.
      {with_shifts({0, 0, 1}), "ab", 3, {}, nullptr, {}, true},
      {with_shifts({0, 0, 2}), "ab", 3, {}, nullptr, {}, true},
      {with_shifts({0, 1, 1}), "ab", 3, {}, nullptr, {}, true},
      {with_shifts({1, 0, 2}), "ab", 3, {}, nullptr, {}, true},
      {with_shifts({0, 1, 3}), "ab", 3, {}, nullptr, {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases) + ": " + c.query + " d" +
                 std::to_string(c.k));
    const Both b(c.trie);
    const std::string& q = c.query;
    if (c.terms) {
      EXPECT_EQ(outcome([&] { return b.arrays.fuzzy_match(q, c.k, c.limit); }), c.terms);
    }
    if (c.nodes) {
      EXPECT_EQ(outcome([&] { return b.arrays.fuzzy_match_nodes(q, c.k, false); }), c.nodes);
    }
    // The compact layout, usable or not, changes no answer and no fault.
    EXPECT_EQ(CompactLayout(c.trie.arrays()).usable(), c.usable);
    for (std::string query : {q, std::string()}) {
      EXPECT_EQ(outcome([&] { return b.fast.fuzzy_match(query, c.k, c.limit); }),
                outcome([&] { return b.arrays.fuzzy_match(query, c.k, c.limit); }));
      for (bool terminal_only : {false, true})
        EXPECT_EQ(outcome([&] { return b.fast.fuzzy_match_nodes(query, c.k, terminal_only); }),
                  outcome([&] { return b.arrays.fuzzy_match_nodes(query, c.k, terminal_only); }));
    }
  }
}

// Every term over {a, b, é} up to length 4 (every second one terminal), for
// every query over the same letters up to length 4, distances 0 to 3,
// children in both orders.
TEST(FuzzyMatch, ExhaustiveSmallAlphabetAgreesWithReference) {
  std::vector<std::u32string> words{U""};
  for (std::size_t i = 0; i < words.size(); ++i)
    if (words[i].size() < 4)
      for (char32_t ch : std::u32string(U"ab\u00e9")) words.push_back(words[i] + ch);
  std::vector<std::u32string> terms;
  for (std::size_t i = 1; i < words.size(); i += 2) terms.push_back(words[i]);
  for (bool reverse : {false, true}) {
    const Trie t = trie_from_terms(terms, reverse);
    ASSERT_TRUE(CompactLayout(t.arrays()).usable());
    const Both b(t);
    for (const auto& q : words)
      for (std::uint32_t k = 0; k <= 3; ++k) {
        SCOPED_TRACE(utf8(q) + " d" + std::to_string(k));
        expect_all_agree(b, q, k, 3);
      }
  }
}

// Random trees numbered breadth-first or at random, with repeated sibling
// labels, U+0000 subtrees and labels outside ASCII, against queries that
// may hold U+0000 (no label matches it, though the compact layout holds
// labels outside ASCII as byte 0), at distances 0 to 4 (4 takes the array
// walk); and long terms around the compact walk's limit of 64 characters.
TEST(FuzzyMatch, RandomTriesAgreeWithReference) {
  std::mt19937 rng(77);
  const std::u32string alphabet = U"abc\u00e9\u4e2d\U0001F600";
  for (int round = 0; round < 400; ++round) {
    const std::u32string with_nul = alphabet + char32_t{0};
    // Every tenth round: long terms, queried with one of them changed.
    std::vector<std::u32string> terms(round % 10 ? 0 : 12);
    for (auto& term : terms) term = test::random_query(rng, U"ab\u00e9", 70);
    const Trie t = terms.empty() ? test::random_trie(rng, round % 4 == 0 ? with_nul : alphabet, 80,
                                                     4, round % 2)
                                 : trie_from_terms(terms);
    ASSERT_TRUE(CompactLayout(t.arrays()).usable());
    const Both b(t);
    for (int qi = 0; qi < 6; ++qi) {
      std::u32string q = test::random_query(rng, round % 3 == 0 ? with_nul : alphabet, 7);
      if (!terms.empty() && !(q = terms[rng() % terms.size()]).empty()) q[rng() % q.size()] = U'b';
      const std::uint32_t k = qi == 0 && round % 5 == 0 ? 4294967295u : rng() % 5;
      SCOPED_TRACE("round " + std::to_string(round) + " query " + utf8(q) + " d" +
                   std::to_string(k));
      expect_all_agree(b, q, k, 1 + rng() % 4);
    }
  }
}

// ASCII queries, which let parents with no edit left compare their block's
// label bytes 16 at a time: blocks of up to 40 children (groups of 16 and a
// partial one) with repeated labels, terminal and non-terminal siblings and
// labels outside ASCII among them, at distances 0 to 3. Such parents first
// check their children's signature, which 'q' shares with 'd', 'g' with 'b',
// and 'y' with every label outside ASCII.
static_assert(CompactLayout::signature_bit('q') == CompactLayout::signature_bit('d') &&
              CompactLayout::signature_bit('g') == CompactLayout::signature_bit('b') &&
              CompactLayout::signature_bit('y') == CompactLayout::signature_bit(0));
TEST(FuzzyMatch, WideBlocksUnderAsciiQueriesAgreeWithReference) {
  std::mt19937 rng(15);
  for (int round = 0; round < 150; ++round) {
    const std::u32string alphabet = round % 3 == 0   ? U"ab\u00e9"
                                    : round % 3 == 1 ? U"abcdab"
                                                     : U"dqbg\u00e9y";
    const Trie t =
        test::random_trie(rng, alphabet, round % 2 ? 400 : 120, round % 2 ? 40 : 3, round % 4 == 1);
    ASSERT_TRUE(CompactLayout(t.arrays()).usable());
    const Both b(t);
    for (int qi = 0; qi < 8; ++qi) {
      const std::u32string q = test::random_query(rng, round % 3 == 2 ? U"dbyq" : U"abcd", 6);
      const std::uint32_t k = rng() % 4;
      SCOPED_TRACE("round " + std::to_string(round) + " query " + utf8(q) + " d" +
                   std::to_string(k));
      expect_all_agree(b, q, k, 1 + rng() % 4);
    }
  }
}

// Levels wider than one batch of the compact walk (kBatchParents survivors,
// or blocks of kBatchChildren children), so that a batch ends inside one
// parent's run of children and the level below is refilled while the walk
// is still reporting above it: a shallow trie of wide blocks, and a deep one
// of every short word over three letters.
TEST(FuzzyMatch, LevelsWiderThanABatchAgreeWithReference) {
  std::mt19937 rng(31);
  std::vector<std::u32string> words{U""};
  for (std::size_t i = 0; i < words.size() && words.size() < 4000; ++i)
    for (char32_t ch : std::u32string(U"abc")) words.push_back(words[i] + ch);
  words.erase(words.begin());
  for (int round = 0; round < 4; ++round) {
    const Trie t = round < 2 ? test::random_trie(rng, U"abcd\u00e9", 8000, 90, round == 1)
                             : trie_from_terms(words, round == 3);
    ASSERT_TRUE(CompactLayout(t.arrays()).usable());
    const Both b(t);
    for (int qi = 0; qi < 6; ++qi) {
      const std::u32string q = test::random_query(rng, U"abcd", 1 + qi % 6);
      const std::uint32_t k = 1 + qi % 3;
      SCOPED_TRACE("round " + std::to_string(round) + " query " + utf8(q) + " d" +
                   std::to_string(k));
      expect_all_agree(b, q, k, 1 + rng() % 40);
    }
  }
}

// A block wider than the walk's retained working storage, walked, then a
// small query on the same thread: nothing may leak from one walk to the next.
TEST(FuzzyMatch, HugeBlockThenSmallQuery) {
  std::vector<test::TestNode> nodes{{0, false, {}}};
  for (char32_t ch = 1; nodes.size() <= 70000; ++ch) {
    if (ch >= 0xD800 && ch <= 0xDFFF) continue;
    nodes[0].children.push_back(static_cast<std::uint32_t>(nodes.size()));
    nodes.push_back({ch, ch % 3 != 0, {}});
  }
  const Trie wide = trie_from_nodes(nodes);
  ASSERT_TRUE(CompactLayout(wide.arrays()).usable());
  const Both w(wide);
  for (const char* q : {"", "a", "\xc3\xa9"}) {
    EXPECT_GT(w.arrays.fuzzy_match(q, 1, {}).size(), 40000u);
    EXPECT_EQ(w.fast.fuzzy_match(q, 1, {}), w.arrays.fuzzy_match(q, 1, {})) << q;
    EXPECT_EQ(w.fast.fuzzy_match_nodes(q, 1, false), w.arrays.fuzzy_match_nodes(q, 1, false));
  }
  const Both small(trie_from_terms({u32("cat"), u32("car"), u32("cart")}));
  expect_all_agree(small, u32("cat"), 1, 2);
  expect_all_agree(small, u32("x"), 3, 1);
}

// A chain spelling `s`, only its end terminal.
Trie chain(const std::string& s) {
  Trie t;
  t.child_labels.push_back(0);
  for (char c : s) t.child_labels.push_back(static_cast<char32_t>(c));
  for (std::uint32_t i = 0; i <= s.size(); ++i) {
    t.node_shifts.push_back(std::min<std::uint32_t>(i, s.size()));
    if (i < s.size()) t.child_transitions.push_back(i + 1);
    t.terminal.push_back(i == s.size());
  }
  return t;
}

// Distances past 16 bits: queries of 65,536 and 70,000 characters against
// short terms. Cells are 16-bit while k+1 fits them, else 32-bit; around
// the boundary distances are found exactly or not reported, and none wraps.
TEST(FuzzyMatch, LongQueriesDoNotWrap) {
  const Index t(trie_from_terms({u32("a"), u32("ab")}));
  const struct {
    std::size_t length;
    std::uint32_t k;
    std::optional<std::size_t> limit;
    const char* terms;
  } cases[] = {
      {70'000, 4294967295u, {}, "a:69999 ab:69999"},
      {70'000, 69'999, 1, "a:69999"},
      {70'000, 69'998, {}, ""},
      {70'000, 4463, {}, ""},  // 69,999 mod 2^16
      {65'536, 65'534, {}, ""},
      {65'536, 65'535, {}, "a:65535 ab:65535"},
      {65'535, 65'534, {}, "a:65534 ab:65534"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(render(t.fuzzy_match(std::string(c.length, 'a'), c.k, c.limit)), c.terms)
        << c.length << " " << c.k;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr std::uint32_t kLong = 100'000;
#else
constexpr std::uint32_t kLong = 1'000'000;
#endif

// A term of kLong characters queried with itself and with two typos, and a
// chain kLong deep queried with one character and a huge max_dist.
TEST(FuzzyMatch, LongTermsAndDeepChains) {
  std::string term(kLong, 'a');
  for (std::size_t i = 0; i < kLong; ++i) term[i] = "abcdefg"[i * 7 / 3 % 7];
  const Index t(chain(term));
  EXPECT_EQ(render(t.fuzzy_match(term, 0, {})), term + ":0");
  EXPECT_EQ(render(t.fuzzy_match(term, 1, {})), term + ":0");
  std::string typo = term;
  typo[kLong / 2] = 'z';
  typo.erase(10, 1);
  EXPECT_EQ(render(t.fuzzy_match(typo, 2, {})), term + ":2");
  EXPECT_EQ(render(t.fuzzy_match(typo, 1, {})), "");

  const Index deep(chain(std::string(kLong, 'a')));
  const auto r = deep.fuzzy_match("a", kLong, {});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].node, kLong);
  EXPECT_EQ(r[0].distance, kLong - 1);
  const auto nodes = deep.fuzzy_match_nodes("b", 4294967295u, false);
  ASSERT_EQ(nodes.size(), kLong);
  EXPECT_EQ(nodes.front(), (NodeMatch{1, 1}));
  EXPECT_EQ(nodes.back(), (NodeMatch{kLong, kLong}));
}

// Two nodes labelled 'a' per level, each linked to both nodes of the next
// level: 2^levels paths. With padding, a node that no edge reaches holds that
// many more edges (to itself), which adds to E but to no walk.
Trie ladder(std::uint32_t levels, std::uint32_t padding = 0) {
  std::vector<test::TestNode> nodes{{0, false, {1, 2}}};
  for (std::uint32_t level = 1; level <= levels; ++level)
    for (int side = 0; side < 2; ++side) {
      nodes.push_back({U'a', level == levels, {}});
      if (level < levels) nodes.back().children = {2 * level + 1, 2 * level + 2};
    }
  if (padding) {
    const auto self = static_cast<std::uint32_t>(nodes.size());
    nodes.push_back({U'z', false, std::vector<std::uint32_t>(padding, self)});
  }
  return trie_from_nodes(nodes);
}

// A walk follows at most 2(N+E)+2 edges, however large E is against the
// paths it may take: 2^20 paths with padding edges enough for all of them
// to fit a bound of E times the depth stop with a fault, without listing
// a million matches first.
TEST(FuzzyMatch, WorkIsBoundedByTheIndexSize) {
  const Index padded(ladder(20, 100'000));
  const std::string a20(20, 'a');
  EXPECT_EQ(outcome([&] { return padded.fuzzy_match_nodes(a20, 1, true); }), "fault");
  EXPECT_EQ(outcome([&] { return padded.fuzzy_match(a20, 1, {}); }), "fault");
  // A ladder of 1500 levels (2^1500 paths): a fault, which only a bounded
  // walk reaches.
  const Index tall(ladder(1500));
  const std::string a1500(1500, 'a');
  EXPECT_EQ(outcome([&] { return tall.fuzzy_match(a1500, 1, {}); }), "fault");
  EXPECT_EQ(outcome([&] { return tall.fuzzy_match_nodes(a1500, 1500, false); }), "fault");
}

// The rows a walk keeps count against its budget: a node's row is dropped
// once its last child is entered, so a chain needs two rows whatever its
// depth, while a node with a sibling still to try keeps its row.
TEST(FuzzyMatch, RowsCountAgainstTheBudget) {
  const std::string term(2000, 'a');
  const Trie single = chain(term);
  std::vector<std::u32string> with_leaves{u32(term)};
  for (std::size_t i = 0; i < term.size(); ++i) with_leaves.push_back(u32(term.substr(0, i) + "b"));
  const Trie caterpillar = trie_from_terms(with_leaves);  // 'a' before 'b'
  auto walk = [&](const Trie& t, std::size_t bytes) {
    MemoryBudget budget(bytes);
    std::size_t reports = 0;
    array_walk<false>(t.arrays(), u32(term), 2000, false, budget, [&](const Reached&) {
      ++reports;
      return false;
    });
    EXPECT_EQ(budget.left(), bytes);  // everything given back
    return reports;
  };
  EXPECT_EQ(walk(single, 64 << 10), term.size());
  EXPECT_THROW(walk(caterpillar, 64 << 10), QueryTooLarge);
  EXPECT_EQ(walk(caterpillar, 64 << 20), 2 * term.size());
  // Through the matcher, the default budget of 1 GiB.
  EXPECT_EQ(render(Index(single).fuzzy_match(term, 2000, {})), term + ":0");
}

// Bands wide enough for the rows to be computed eight cells at a time:
// long terms, queries of up to 90 characters made from them with edits, at
// distances from 5 to 60, against the reference.
TEST(FuzzyMatch, WideBandsAgreeWithReference) {
  std::mt19937 rng(12);
  const std::u32string alphabet = U"ab\u00e9\U0001F600";
  for (int round = 0; round < 12; ++round) {
    std::vector<std::u32string> terms(20);
    for (auto& term : terms) term = test::random_query(rng, alphabet, 80);
    const Both b(trie_from_terms(terms, round % 2));
    for (int qi = 0; qi < 4; ++qi) {
      std::u32string q = terms[rng() % terms.size()] + test::random_query(rng, alphabet, 10);
      for (int edit = 0; edit < 4 && !q.empty(); ++edit)
        q[rng() % q.size()] = alphabet[rng() % alphabet.size()];
      const std::uint32_t k = std::uint32_t{5} + rng() % 56;
      SCOPED_TRACE("round " + std::to_string(round) + " query " + utf8(q) + " d" +
                   std::to_string(k));
      expect_all_agree(b, q, k, 3);
    }
  }
}

}  // namespace
}  // namespace tessaloom::prefix::matcher
