// The edit-distance walk over the index's arrays: the documented examples,
// agreement with a brute-force reference (exhaustive over a tiny alphabet and
// on random tries), faults on inconsistent arrays, and the long and deep
// cases that must neither wrap nor exhaust the stack.
#include "prefix/matcher/matcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/fault.h"
#include "matcher_reference.h"

namespace tessaloom::prefix::matcher {
namespace {

using testing::reference_match;
using testing::reference_nodes;
using testing::TestNode;
using testing::trie_from_nodes;
using testing::trie_from_terms;
using testing::u32;

struct Term {
  std::string term;
  std::uint32_t distance;
  bool operator==(const Term&) const = default;
};

std::vector<Term> terms_of(const std::vector<MatchResult>& rs) {
  std::vector<Term> out;
  for (const auto& r : rs) out.push_back({r.term, r.distance});
  return out;
}

void PrintTo(const Term& t, std::ostream* os) {
  *os << "(" << t.term << ", " << t.distance << ")";
}

// root -> c(1), d(2); c -> a(3); d -> o(4); a -> t(5), r(6) (or r, t);
// o -> g(7); r -> t(8). Terminal: cat, car, cart, dog.
Trie cat_trie(bool r_first) {
  std::vector<TestNode> nodes = {
      {0, false, {1, 2}},  {U'c', false, {3}}, {U'd', false, {4}},
      {U'a', false, {5, 6}}, {U'o', false, {7}}, {U't', true, {}},
      {U'r', true, {8}},   {U'g', true, {}},   {U't', true, {}},
  };
  if (r_first) nodes[3].children = {6, 5};
  return trie_from_nodes(nodes);
}

TEST(FuzzyMatch, DocumentedExamples) {
  struct Case {
    const char* name;
    bool r_first;
    const char* query;
    std::uint32_t max_dist;
    std::optional<std::size_t> limit;
    std::vector<Term> expected;
  };
  const Case cases[] = {
      {"cat d1", false, "cat", 1, {}, {{"cat", 0}, {"car", 1}, {"cart", 1}}},
      {"limit 2", false, "cat", 1, 2, {{"cat", 0}, {"car", 1}}},
      {"limit 1", false, "cat", 1, 1, {{"cat", 0}}},
      {"limit above count", false, "cat", 1, 99,
       {{"cat", 0}, {"car", 1}, {"cart", 1}}},
      {"order follows edges", true, "cat", 1, {},
       {{"car", 1}, {"cart", 1}, {"cat", 0}}},
      {"d0", false, "cat", 0, {}, {{"cat", 0}}},
      {"prefix query", false, "ca", 1, {}, {{"cat", 1}, {"car", 1}}},
      {"empty query d1", false, "", 1, {}, {}},
      {"case sensitive", false, "Cat", 1, {}, {{"cat", 1}}},
      {"case sensitive d0", false, "Cat", 0, {}, {}},
      {"limit 0", false, "cat", 1, 0, {}},
      {"dog", false, "dgo", 2, {}, {{"dog", 2}}},
      {"huge max_dist", false, "x", 4294967295u, {},
       {{"cat", 3}, {"car", 3}, {"cart", 4}, {"dog", 3}}},
      {"non-terminal exact", false, "ca", 0, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Trie t = cat_trie(c.r_first);
    EXPECT_EQ(terms_of(fuzzy_match(t, c.query, c.max_dist, c.limit)),
              c.expected);
  }
}

TEST(FuzzyMatch, EmptyQueryReportsDepthOneTermsNeverTheRoot) {
  const Trie t = trie_from_terms({u32(""), u32("a"), u32("b"), u32("ab")});
  ASSERT_TRUE(t.terminal[0]);  // the root ends the empty term
  EXPECT_EQ(terms_of(fuzzy_match(t, "", 1, {})),
            (std::vector<Term>{{"a", 1}, {"b", 1}}));
  EXPECT_TRUE(fuzzy_match(t, "", 0, {}).empty());
  EXPECT_TRUE(fuzzy_match_nodes(t, "", 0, false).empty());
}

TEST(FuzzyMatch, ComposedAndPrecomposedAccentsDiffer) {
  const Trie t = trie_from_terms({u32("caf\u00e9")});
  EXPECT_EQ(terms_of(fuzzy_match(t, "caf\u00e9", 0, {})),
            (std::vector<Term>{{"caf\u00e9", 0}}));
  EXPECT_EQ(terms_of(fuzzy_match(t, "cafe\u0301", 2, {})),
            (std::vector<Term>{{"caf\u00e9", 2}}));
}

TEST(FuzzyMatchNodes, DocumentedExamples) {
  // root, a, ab, ac; only ab and ac terminal.
  const Trie t = trie_from_nodes({{0, false, {1}},
                                  {U'a', false, {2, 3}},
                                  {U'b', true, {}},
                                  {U'c', true, {}}});
  struct Case {
    const char* query;
    std::uint32_t max_dist;
    bool terminal_only;
    std::vector<NodeMatch> expected;
  };
  const Case cases[] = {
      {"a", 1, false, {{1, 0}, {2, 1}, {3, 1}}},
      {"a", 1, true, {{2, 1}, {3, 1}}},
      {"ab", 0, false, {{2, 0}}},
      {"", 1, false, {{1, 1}}},
      {"", 2, false, {{1, 1}, {2, 2}, {3, 2}}},
      {"", 2, true, {{2, 2}, {3, 2}}},
      {"zz", 0, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.query) + " d" + std::to_string(c.max_dist));
    EXPECT_EQ(fuzzy_match_nodes(t, c.query, c.max_dist, c.terminal_only),
              c.expected);
  }
}

TEST(FuzzyMatch, NulLabelsHideTheirSubtreeAndDuplicateLabelsAreBothWalked) {
  // root -> a(1), NUL(2), a(3); NUL -> b(4); a(3) -> b(5).
  const Trie t = trie_from_nodes({{0, false, {1, 2, 3}},
                                  {U'a', true, {}},
                                  {0, true, {4}},
                                  {U'a', true, {5}},
                                  {U'b', true, {}},
                                  {U'b', true, {}}});
  EXPECT_EQ(fuzzy_match_nodes(t, "a", 1, false),
            (std::vector<NodeMatch>{{1, 0}, {3, 0}, {5, 1}}));
  EXPECT_EQ(terms_of(fuzzy_match(t, "b", 1, {})),
            (std::vector<Term>{{"a", 1}, {"a", 1}, {"ab", 1}}));
  // A query holding U+0000 matches no label.
  EXPECT_EQ(terms_of(fuzzy_match(t, std::string("\0", 1), 0, {})),
            std::vector<Term>{});
}

TEST(FuzzyMatch, EmptyIndexAnswersNothing) {
  const Trie t;
  EXPECT_TRUE(fuzzy_match(t, "abc", 5, {}).empty());
  EXPECT_TRUE(fuzzy_match_nodes(t, "", 4294967295u, false).empty());
}

TEST(FuzzyMatch, InvalidUtf8QueryIsRefused) {
  const Trie t = trie_from_terms({u32("a")});
  for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xE2\x82", "\x80", "\xFF"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(fuzzy_match(t, bad, 1, {}), std::invalid_argument);
  }
}

// The walk must agree with the brute-force reference on every term over
// {a, b, é} up to length 4, for every query over the same letters up to
// length 4 and distances 0 to 2.
TEST(FuzzyMatch, ExhaustiveSmallAlphabetAgreesWithReference) {
  const std::u32string alphabet = U"ab\u00e9";
  std::vector<std::u32string> words{U""};
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i].size() == 4) continue;
    for (char32_t ch : alphabet) words.push_back(words[i] + ch);
  }
  // Every second word terminal, so inner nodes are both kinds.
  std::vector<std::u32string> terms;
  for (std::size_t i = 1; i < words.size(); i += 2) terms.push_back(words[i]);
  for (bool reverse : {false, true}) {
    const Trie t = trie_from_terms(terms, reverse);
    for (const auto& q : words) {
      const std::string query = testing::utf8(q);
      for (std::uint32_t k = 0; k <= 2; ++k) {
        SCOPED_TRACE(query + " d" + std::to_string(k));
        ASSERT_EQ(fuzzy_match(t, query, k, {}), reference_match(t, q, k));
        ASSERT_EQ(fuzzy_match_nodes(t, query, k, false),
                  reference_nodes(t, q, k, false));
      }
    }
  }
}

TEST(FuzzyMatch, RandomTriesAgreeWithReference) {
  std::mt19937 rng(20240611);
  const std::u32string alphabet = U"abc\u00e9\U0001F600";
  const std::u32string with_nul = alphabet + char32_t{0};
  for (int round = 0; round < 300; ++round) {
    const bool shuffle = round % 2 == 1;
    const Trie t = testing::random_trie(rng, round % 3 == 0 ? with_nul : alphabet,
                                        60, 4, shuffle);
    for (int qi = 0; qi < 8; ++qi) {
      const std::u32string q = testing::random_query(rng, alphabet, 6);
      const std::uint32_t k = rng() % 4;
      const std::size_t limit = rng() % 6;
      const std::string query = testing::utf8(q);
      SCOPED_TRACE("round " + std::to_string(round) + " query " + query +
                   " d" + std::to_string(k) + " limit " + std::to_string(limit));
      ASSERT_EQ(fuzzy_match(t, query, k, {}), reference_match(t, q, k));
      ASSERT_EQ(fuzzy_match(t, query, k, limit),
                reference_match(t, q, k, limit));
      ASSERT_EQ(fuzzy_match_nodes(t, query, k, false),
                reference_nodes(t, q, k, false));
      ASSERT_EQ(fuzzy_match_nodes(t, query, k, true),
                reference_nodes(t, q, k, true));
    }
  }
}

// Arrays that break the assumed invariants: the walk stops with an internal
// fault where it meets them, never reading outside an array.
TEST(FuzzyMatch, InconsistentArraysFault) {
  struct Case {
    const char* name;
    void (*spoil)(Trie&);
  };
  const Case cases[] = {
      {"edge range past the edge count",
       [](Trie& t) { t.node_shifts[3] = 99; }},
      {"child beyond the node count",
       [](Trie& t) { t.child_transitions[2] = 40; }},
      {"terminal shorter than labels", [](Trie& t) { t.terminal.resize(3); }},
      {"node_shifts shorter than labels",
       [](Trie& t) { t.node_shifts.resize(2); }},
      {"no node_shifts at all", [](Trie& t) { t.node_shifts.clear(); }},
      {"labels shorter than children",
       [](Trie& t) { t.child_labels.resize(4); }},
      {"label not a scalar value", [](Trie& t) { t.child_labels[5] = 0xD800; }},
      {"label above U+10FFFF", [](Trie& t) { t.child_labels[5] = 0x110000; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Trie t = cat_trie(false);
    c.spoil(t);
    EXPECT_THROW(fuzzy_match(t, "cat", 3, {}), InternalFault);
  }
  // Nodes-only walks never read the terminal flags or build terms.
  Trie t = cat_trie(false);
  t.terminal.clear();
  EXPECT_EQ(fuzzy_match_nodes(t, "cat", 0, false),
            (std::vector<NodeMatch>{{5, 0}}));
  EXPECT_THROW(fuzzy_match_nodes(t, "cat", 0, true), InternalFault);
}

TEST(FuzzyMatch, CyclesFaultOnlyWhenTheWalkFollowsThem) {
  // root -a-> 1 -b-> 2 -c-> 1 (a cycle below the root).
  Trie cycle = trie_from_nodes({{0, false, {1}},
                                {U'a', true, {2}},
                                {U'b', true, {1}}});
  cycle.child_labels[1] = U'a';
  EXPECT_THROW(fuzzy_match(cycle, "ab", 4294967295u, {}), InternalFault);
  EXPECT_THROW(fuzzy_match_nodes(cycle, "", 1000, false), InternalFault);
  // A small max_dist prunes before the depth passes the node count.
  EXPECT_EQ(terms_of(fuzzy_match(cycle, "ab", 1, {})),
            (std::vector<Term>{{"a", 1}, {"ab", 0}, {"aba", 1}}));
  // A self edge on the root.
  const Trie self = trie_from_nodes({{U'x', true, {0}}});
  EXPECT_THROW(fuzzy_match(self, "", 5, {}), InternalFault);
  EXPECT_EQ(fuzzy_match_nodes(self, "x", 0, false),
            (std::vector<NodeMatch>{{0, 0}}));
}

TEST(FuzzyMatch, NodeOnTwoPathsIsWalkedOncePerPath) {
  // root -> a(1), b(2); both lead to c(3).
  const Trie t = trie_from_nodes({{0, false, {1, 2}},
                                  {U'a', false, {3}},
                                  {U'b', false, {3}},
                                  {U'c', true, {}}});
  EXPECT_EQ(terms_of(fuzzy_match(t, "ac", 1, {})),
            (std::vector<Term>{{"ac", 0}, {"bc", 1}}));
}

// A chain of `depth` nodes labelled by `label(i)`, only the last terminal.
Trie chain(std::size_t depth, char32_t (*label)(std::size_t)) {
  Trie t;
  t.child_labels.push_back(0);
  for (std::size_t i = 0; i < depth; ++i) t.child_labels.push_back(label(i));
  for (std::size_t i = 0; i <= depth; ++i) {
    t.node_shifts.push_back(static_cast<std::uint32_t>(std::min(i, depth)));
    if (i < depth) t.child_transitions.push_back(static_cast<std::uint32_t>(i + 1));
    t.terminal.push_back(i == depth ? 1 : 0);
  }
  return t;
}

char32_t abc_label(std::size_t i) { return U"abcdefg"[i * 7 / 3 % 7]; }
char32_t a_label(std::size_t) { return U'a'; }

#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kLong = 100'000;
#else
constexpr std::size_t kLong = 1'000'000;
#endif

TEST(FuzzyMatch, LongQueriesDoNotWrap) {
  // 70,000 characters against short terms: distances above 65,535.
  const Trie t = trie_from_terms({u32("a"), u32("ab")});
  const std::string query(70'000, 'a');
  EXPECT_EQ(terms_of(fuzzy_match(t, query, 4294967295u, {})),
            (std::vector<Term>{{"a", 69'999}, {"ab", 69'999}}));
  EXPECT_EQ(terms_of(fuzzy_match(t, query, 69'999, 1)),
            (std::vector<Term>{{"a", 69'999}}));
  EXPECT_TRUE(fuzzy_match(t, query, 69'998, {}).empty());
  EXPECT_TRUE(fuzzy_match(t, query, 4463, {}).empty());  // 69,999 mod 2^16
}

TEST(FuzzyMatch, LongTermQueriedWithItself) {
  const Trie t = chain(kLong, abc_label);
  std::string term;
  for (std::size_t i = 0; i < kLong; ++i) term.push_back(char(abc_label(i)));
  const auto start = std::chrono::steady_clock::now();
  for (std::uint32_t k : {0u, 1u}) {
    const auto r = fuzzy_match(t, term, k, {});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].term, term);
    EXPECT_EQ(r[0].distance, 0u);
  }
  std::string typo = term;
  typo[kLong / 2] = 'z';
  typo.erase(10, 1);
  const auto r = fuzzy_match(t, typo, 2, {});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].distance, 2u);
  EXPECT_TRUE(fuzzy_match(t, typo, 1, {}).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(FuzzyMatch, DeepChainWithHugeMaxDist) {
  const Trie t = chain(kLong, a_label);
  const auto r = fuzzy_match(t, "a", static_cast<std::uint32_t>(kLong), {});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].node, kLong);
  EXPECT_EQ(r[0].distance, kLong - 1);
  const auto nodes = fuzzy_match_nodes(t, "b", 4294967295u, false);
  ASSERT_EQ(nodes.size(), kLong);
  EXPECT_EQ(nodes.front(), (NodeMatch{1, 1}));
  EXPECT_EQ(nodes.back(), (NodeMatch{kLong, static_cast<std::uint32_t>(kLong)}));
}

}  // namespace
}  // namespace tessaloom::prefix::matcher
