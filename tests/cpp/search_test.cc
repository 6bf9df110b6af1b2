// The search walk against brute force (every node's optimal string alignment
// distance from the full table) on random tries, and the walk's bounds.
// The ranking is checked against the Python reference (test_search.py).
#include <gtest/gtest.h>

#include <random>

#include "common/budget.h"
#include "helpers.h"
#include "prefix/matcher/compact_layout.h"
#include "search/exact_walk.h"
#include "search/osa_walk.h"
#include "search/search.h"
#include "search/words.h"

namespace tessaloom::search {

using common::InternalFault;
using common::InvalidInput;
using common::MemoryBudget;
using common::QueryTooLarge;
using prefix::trie::Trie;

namespace {

std::uint32_t osa(const std::u32string& a, const std::u32string& b, bool transpositions) {
  std::vector<std::vector<std::uint32_t>> d(a.size() + 1, std::vector<std::uint32_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = static_cast<std::uint32_t>(i);
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = static_cast<std::uint32_t>(j);
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] =
          std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (transpositions && i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

// The walk over the arrays (empty layout) or over the compact layout.
std::vector<prefix::matcher::NodeMatch> walk(const Trie& t, const std::u32string& q,
                                             std::uint32_t k, bool transpositions,
                                             bool term_ends_only = false,
                                             const prefix::matcher::CompactLayout& layout = {}) {
  std::vector<prefix::matcher::NodeMatch> out;
  MemoryBudget budget;
  walk_word(t.arrays(), layout, std::span<const char32_t>(q.data(), q.size()), k, transpositions,
            term_ends_only, budget, [&](const prefix::matcher::Reached& r) {
              out.push_back({r.node, r.distance});
              return false;
            });
  EXPECT_EQ(budget.left(), MemoryBudget::kQueryBytes);  // all given back
  return out;
}

std::vector<prefix::matcher::NodeMatch> exact(const Trie& t, const std::u32string& q,
                                              bool term_ends_only) {
  std::vector<prefix::matcher::NodeMatch> out;
  exact_walk(t.arrays(), std::span<const char32_t>(q.data(), q.size()), term_ends_only,
             [&](const prefix::matcher::Reached& r) {
               out.push_back({r.node, r.distance});
               return false;
             });
  return out;
}

// Both walks, with and without transpositions, all nodes or term ends only.
// The trees: small alphabets (swaps are frequent), labels outside ASCII and
// U+0000 subtrees, numbered breadth-first or at random, and wide blocks of
// ASCII labels, which the compact walk compares 16 at a time under parents
// with no edit left after checking their children's signature ('q' shares
// its bit with 'd', 'g' with 'b', 'y' with labels outside ASCII).
TEST(OsaWalk, RandomTriesAgreeWithBruteForce) {
  std::mt19937 rng(22);
  const std::u32string alphabets[] = {U"ab", U"abc", U"a\u00e9\u20ac\U0001F600",
                                      std::u32string(U"ab\0", 3), U"dqbg\u00e9y"};
  for (int round = 0; round < 500; ++round) {
    const std::u32string& alphabet = alphabets[round % 5];
    const bool wide = round % 5 == 4;
    const Trie t = test::random_trie(rng, alphabet, wide ? 300 : 60, wide ? 30 : 3, round % 2);
    const prefix::matcher::CompactLayout layout(t.arrays());
    ASSERT_TRUE(layout.usable());
    const std::u32string q = test::random_query(rng, wide ? U"dbyq" : alphabet, 6);
    const std::uint32_t k = rng() % 4;
    // Every node with its text, in pre-order: the unpruned walk at a
    // distance nothing exceeds.
    const auto all = test::reference_walk(t, q, 1000);
    for (bool transpositions : {true, false}) {
      for (bool term_ends_only : {false, true}) {
        std::vector<prefix::matcher::NodeMatch> expected;
        for (const auto& r : all) {
          const std::uint32_t d = osa(q, r.term, transpositions);
          if (d <= k && (!term_ends_only || t.terminal[r.node])) expected.push_back({r.node, d});
        }
        SCOPED_TRACE(testing::Message()
                     << "round " << round << " k " << k << " transpositions " << transpositions
                     << " term ends only " << term_ends_only << " query " << test::utf8(q));
        EXPECT_EQ(walk(t, q, k, transpositions, term_ends_only), expected);
        EXPECT_EQ(walk(t, q, k, transpositions, term_ends_only, layout), expected);
      }
    }
    // With no edit allowed, the lookup reports what the walk does, siblings
    // sharing labels included.
    for (bool term_ends_only : {false, true}) {
      EXPECT_EQ(exact(t, q, term_ends_only), walk(t, q, 0, true, term_ends_only));
    }
  }
}

TEST(OsaWalk, CyclesAndLongWordsAreBounded) {
  // Node 1 is its own child: a cycle the walk must stop at.
  const Trie cycle = test::trie_from_nodes({{0, false, {1}}, {U'a', true, {1}}});
  const std::u32string long_a(5000, U'a');
  EXPECT_THROW(walk(cycle, long_a, 1, true), InternalFault);
  // A word longer than any term keeps rows for the trie's depth only.
  const Trie t = test::trie_from_terms({U"aaa"});
  EXPECT_TRUE(walk(t, long_a, 3, true).empty());
  EXPECT_THROW(exact(cycle, long_a, false), InternalFault);
  MemoryBudget tight(64);
  EXPECT_THROW(osa_walk(test::trie_from_terms({std::u32string(100, U'a')}).arrays(), long_a, 3,
                        true, false, tight, [](const prefix::matcher::Reached&) { return false; }),
               QueryTooLarge);
}

// Word budgets are the Python suite's (against its reference, words of 1 to
// 9 characters).
TEST(Search, EmptyAndZeroLimit) {
  const Trie t = test::trie_from_terms({U"cat"});
  const Word cat{{U'c', U'a', U't'}, false};
  EXPECT_TRUE(search(t, {}, VideoNorms(), {}, 10, std::nullopt, true).empty());
  EXPECT_TRUE(
      search(t, {}, VideoNorms(), std::span<const Word>(&cat, 1), 0, std::nullopt, true).empty());
  EXPECT_TRUE(
      search(Trie{}, {}, VideoNorms(), std::span<const Word>(&cat, 1), 10, std::nullopt, true)
          .empty());
}

// The splitting rule is checked against tessaloom.terms in the Python suite;
// here what Python text cannot hold: bytes that are not UTF-8.
TEST(QueryWords, OrderPrefixAndStrayBytes) {
  auto words = [](std::string_view text, bool prefix) {
    std::vector<std::pair<std::u32string, bool>> out;
    for (const Word& w : query_words(text, prefix))
      out.emplace_back(std::u32string(w.text.begin(), w.text.end()), w.prefix);
    return out;
  };
  using W = std::vector<std::pair<std::u32string, bool>>;
  EXPECT_EQ(words("Ab-cd AB x", true), (W{{U"ab", false}, {U"cd", false}, {U"x", true}}));
  EXPECT_EQ(words("b a B ", true), (W{{U"a", false}, {U"b", false}}));
  EXPECT_EQ(words("a\xff\xc3"
                  "b\xed\xa0\x80",
                  true),
            (W{{U"a", false}, {U"b", false}}));
  EXPECT_EQ(words("\xc3\xa9t\xc3\xa9", false), (W{{U"\u00e9t\u00e9", false}}));
  EXPECT_TRUE(words(" -", true).empty());
  std::string many;
  for (int i = 0; i < 32; ++i) many += "w" + std::to_string(i) + " w0 ";
  EXPECT_EQ(query_words(many, true).size(), kMaxWords);
  EXPECT_THROW(query_words(many + "w32", true), InvalidInput);
}

}  // namespace
}  // namespace tessaloom::search
