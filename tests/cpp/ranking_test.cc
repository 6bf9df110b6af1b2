#include "ranking/ranking.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <ostream>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/fault.h"

namespace tessaloom::ranking {

void PrintTo(const VideoScore& v, std::ostream* os) {
  *os << "(" << v.key << ", " << std::setprecision(17) << v.score << ")";
}
void PrintTo(const Candidate& c, std::ostream* os) {
  *os << "(" << c.video << ", " << std::setprecision(17) << c.score << ")";
}

namespace {

using prefix::matcher::NodeMatch;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A trie whose nodes only carry flags and payloads: enough for the pooling
// steps, which take their node list from the caller. Int32 ids 100 + v.
Trie flat_trie(std::vector<std::optional<Payload>> payloads,
               std::vector<std::uint8_t> terminal, std::size_t n_videos = 8) {
  Trie t;
  for (const auto& p : payloads) {
    if (p) {
      t.payloads.push(p->view());
    } else {
      t.payloads.push_absent();
    }
  }
  t.terminal = std::move(terminal);
  t.child_labels.assign(t.terminal.size(), U'x');
  t.node_shifts.assign(t.terminal.size(), 0);
  t.id_mode = IdMode::Int32;
  for (std::uint32_t v = 0; v < n_videos; ++v) t.video_int32_ids.push_back(100 + v);
  return t;
}

Payload pl(std::uint32_t total, std::vector<std::uint32_t> ids,
           std::vector<std::uint32_t> counts) {
  return Payload{total, std::move(ids), std::move(counts)};
}

// A real trie over `terms` (ASCII), breadth-first, children in label order,
// each term's payload given; propagated like a built index.
Trie term_trie(const std::map<std::string, Payload>& terms,
               std::size_t n_videos = 8) {
  struct Node {
    std::map<char, std::size_t> kids;
    std::optional<Payload> payload;
  };
  std::vector<Node> tmp(1);
  for (const auto& [term, payload] : terms) {
    std::size_t cur = 0;
    for (char ch : term) {
      auto it = tmp[cur].kids.find(ch);
      if (it == tmp[cur].kids.end()) {
        tmp.push_back({});
        it = tmp[cur].kids.emplace(ch, tmp.size() - 1).first;
      }
      cur = it->second;
    }
    tmp[cur].payload = payload;
  }
  // Renumber breadth-first.
  Trie t;
  std::vector<std::size_t> order{0};
  std::vector<char32_t> labels{U'\0'};
  for (std::size_t head = 0; head < order.size(); ++head) {
    for (const auto& [ch, kid] : tmp[order[head]].kids) {
      order.push_back(kid);
      labels.push_back(static_cast<char32_t>(ch));
    }
  }
  std::vector<std::size_t> number(tmp.size());
  for (std::size_t i = 0; i < order.size(); ++i) number[order[i]] = i;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const Node& n = tmp[order[i]];
    t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_transitions.size()));
    for (const auto& [ch, kid] : n.kids) {
      t.child_transitions.push_back(static_cast<std::uint32_t>(number[kid]));
    }
    t.terminal.push_back(n.payload ? 1 : 0);
    if (n.payload) {
      t.payloads.push(n.payload->view());
    } else {
      t.payloads.push_absent();
    }
  }
  t.child_labels = labels;
  t.id_mode = IdMode::Int32;
  for (std::uint32_t v = 0; v < n_videos; ++v) t.video_int32_ids.push_back(100 + v);
  t.propagate(100);
  return t;
}

TEST(ClosenessWeight, Table) {
  struct Case {
    std::uint32_t d;
    std::size_t n;
    std::optional<double> q;
  };
  const Case cases[] = {
      {0, 0, 1.0},
      {0, 3, 1.0},
      {1, 0, std::nullopt},
      {1, 3, (1.0 - 1.0 / 3.0) * 0.05},
      {2, 3, (1.0 - 2.0 / 3.0) * 0.05},
      {3, 3, std::nullopt},
      {4, 3, std::nullopt},
      {1, 4, (1.0 - 1.0 / 4.0) * 0.05},
      {4294967295u, 5, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "d=" << c.d << " n=" << c.n);
    EXPECT_EQ(closeness_weight(c.d, c.n), c.q);
  }
}

std::vector<Candidate> sorted(std::vector<Candidate> c) {
  cut_and_order(c, std::nullopt);
  return c;
}

TEST(ScoreVideos, FourCharacterWorkedExample) {
  // A: term end at distance 0; B: term end at distance 1; n = 4.
  const Trie t = flat_trie({pl(10, {0, 1, 2}, {6, 3, 1}), pl(100, {2}, {100})},
                           {1, 1});
  const std::vector<NodeMatch> nodes{{0, 0}, {1, 1}};
  const double wb = (1.0 - 1.0 / 4.0) * 0.05;
  const double total = 0.0 + 1.0 * 10.0 + wb * 100.0;
  const std::vector<Candidate> expected{
      {0, (0.0 + 1.0 * 6.0) / total},
      {2, (0.0 + 1.0 * 1.0 + wb * 100.0) / total},
      {1, (0.0 + 1.0 * 3.0) / total},
  };
  EXPECT_EQ(sorted(score_videos(t, nodes, 4, kDefaultMinScore)), expected);

  std::vector<Candidate> c = score_videos(t, nodes, 4, kDefaultMinScore);
  cut_and_order(c, 2);
  EXPECT_EQ(c, (std::vector<Candidate>{expected[0], expected[1]}));
}

TEST(ScoreVideos, InnerNodesWeighLessAndRepeatsPoolTwice) {
  // Node 0 inner at distance 0, node 1 term end at distance 1 (n = 3), and
  // node 1 met a second time along another path.
  const Trie t = flat_trie({pl(4, {5}, {4}), pl(2, {5, 6}, {1, 1})}, {0, 1});
  const std::vector<NodeMatch> nodes{{0, 0}, {1, 1}, {1, 1}};
  const double w0 = 1.0 * 0.85;
  const double w1 = (1.0 - 1.0 / 3.0) * 0.05;
  const double total = 0.0 + w0 * 4.0 + w1 * 2.0 + w1 * 2.0;
  const std::vector<Candidate> expected{
      {5, (0.0 + w0 * 4.0 + w1 * 1.0 + w1 * 1.0) / total},
      {6, (0.0 + w1 * 1.0 + w1 * 1.0) / total},
  };
  EXPECT_EQ(sorted(score_videos(t, nodes, 3, 0.0)), expected);
}

TEST(ScoreVideos, NothingToRank) {
  struct Case {
    const char* name;
    std::vector<NodeMatch> nodes;
    std::size_t n;
  };
  // Node 0: absent payload; node 1: total count 0 (with counts); node 2: a
  // real payload, reachable only at distances that carry no weight.
  const Trie t = flat_trie({std::nullopt, pl(0, {1}, {9}), pl(5, {2}, {5})},
                           {1, 1, 1});
  const Case cases[] = {
      {"no nodes", {}, 3},
      {"absent payload", {{0, 0}}, 3},
      {"zero total count", {{1, 0}}, 3},
      {"distance equals length", {{2, 3}}, 3},
      {"distance above length", {{2, 7}}, 3},
      {"empty query, typo", {{2, 1}}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(score_videos(t, c.nodes, c.n, 0.0).empty());
  }
}

TEST(ScoreVideos, Threshold) {
  // Shares: video 0 = 1/100 (exactly the default threshold), video 1 = 0,
  // video 2 = 99/100.
  const Trie t = flat_trie({pl(100, {0, 1, 2}, {1, 0, 99})}, {1});
  const std::vector<NodeMatch> nodes{{0, 0}};
  auto videos = [&](double threshold) {
    std::vector<std::uint32_t> out;
    for (const auto& c : sorted(score_videos(t, nodes, 2, threshold))) {
      out.push_back(c.video);
    }
    return out;
  };
  using V = std::vector<std::uint32_t>;
  EXPECT_EQ(videos(kDefaultMinScore), (V{2, 0}));
  EXPECT_EQ(videos(0.0), (V{2, 0, 1}));
  EXPECT_EQ(videos(-std::numeric_limits<double>::infinity()), (V{2, 0, 1}));
  EXPECT_EQ(videos(0.5), (V{2}));
  EXPECT_EQ(videos(1.5), V{});
  EXPECT_EQ(videos(kNaN), V{});
}

TEST(ScoreVideos, ManyVideosGrowThePool) {
  // One node, far more distinct videos than the initial room, ids spread
  // over the whole 32-bit range.
  Payload p;
  std::mt19937 rng(3);
  std::map<std::uint32_t, std::uint32_t> expected;
  for (int k = 0; k < 5000; ++k) {
    const std::uint32_t v = rng() | (k % 2 ? 0x80000000u : 0);
    const std::uint32_t c = 1 + rng() % 50;
    p.video_ids.push_back(v);
    p.video_counts.push_back(c);
    expected[v] += c;
  }
  p.total_count = 1000;
  const Trie t = flat_trie({p}, {1});
  const std::vector<NodeMatch> nodes{{0, 0}};
  const auto got = score_videos(t, nodes, 1, 0.0);
  ASSERT_EQ(got.size(), expected.size());
  for (const auto& c : got) {
    EXPECT_EQ(c.score, static_cast<double>(expected.at(c.video)) / 1000.0);
  }
}

TEST(ScoreVideos, Faults) {
  struct Case {
    const char* name;
    Trie trie;
    std::vector<NodeMatch> nodes;
  };
  Trie short_payloads = flat_trie({pl(1, {0}, {1})}, {1, 1});
  Case cases[] = {
      {"node beyond terminal", flat_trie({pl(1, {0}, {1})}, {1}), {{0, 0}, {1, 0}}},
      {"node beyond payloads", short_payloads, {{1, 0}}},
      {"fewer counts than ids", flat_trie({pl(5, {0, 1}, {1})}, {1}), {{0, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(score_videos(c.trie, c.nodes, 2, 0.0), InternalFault);
  }
  // More counts than ids is harmless: the extra counts are not read.
  const Trie extra = flat_trie({pl(5, {0}, {5, 7})}, {1});
  const std::vector<NodeMatch> nodes{{0, 0}};
  EXPECT_EQ(score_videos(extra, nodes, 2, 0.0), (std::vector<Candidate>{{0, 1.0}}));
}

TEST(CutAndOrder, TiesByVideoAndLimitIsAPrefixOfTheFullOrder) {
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    std::vector<Candidate> all;
    const std::size_t n = rng() % 40;
    std::vector<std::uint32_t> videos(n);
    for (std::size_t i = 0; i < n; ++i) videos[i] = static_cast<std::uint32_t>(i * 7 + rng() % 7);
    std::shuffle(videos.begin(), videos.end(), rng);
    // Few distinct scores, so ties are common.
    for (std::uint32_t v : videos) all.push_back({v, 0.25 * (rng() % 4)});
    std::vector<Candidate> full = all;
    cut_and_order(full, std::nullopt);
    for (std::size_t i = 1; i < full.size(); ++i) {
      const auto& a = full[i - 1];
      const auto& b = full[i];
      ASSERT_TRUE(a.score > b.score || (a.score == b.score && a.video < b.video));
    }
    for (std::size_t limit = 0; limit <= n + 1; ++limit) {
      std::vector<Candidate> cut = all;
      cut_and_order(cut, limit);
      const std::vector<Candidate> prefix(
          full.begin(), full.begin() + static_cast<std::ptrdiff_t>(std::min(limit, n)));
      ASSERT_EQ(cut, prefix) << "round " << round << " limit " << limit;
    }
  }
}

TEST(RenderKeys, Int32) {
  Trie t;
  t.id_mode = IdMode::Int32;
  t.video_int32_ids = {0, 4294967295u, 1000000};
  // Video 7 is outside the table and dropped after the cut.
  const std::vector<Candidate> ordered{{1, 0.5}, {7, 0.3}, {0, 0.1}, {2, 0.05}};
  EXPECT_EQ(render_keys(t, ordered),
            (std::vector<VideoScore>{{"4294967295", 0.5}, {"0", 0.1}, {"1000000", 0.05}}));
  // Uuid-mode table is ignored in Int32 mode.
  t.video_uuids.resize(9);
  EXPECT_EQ(render_keys(t, std::vector<Candidate>{{7, 0.3}}).size(), 0u);
}

TEST(RenderKeys, Uuid) {
  Trie t;
  t.id_mode = IdMode::Uuid;
  Uuid a, b{};
  for (std::size_t i = 0; i < 16; ++i) a[i] = static_cast<std::uint8_t>(i * 0x11);
  b.fill(0xAB);
  t.video_uuids = {a, b};
  t.video_int32_ids = {1, 2, 3};  // ignored in Uuid mode
  const std::vector<Candidate> ordered{{2, 0.9}, {1, 0.5}, {0, 0.25}};
  EXPECT_EQ(render_keys(t, ordered),
            (std::vector<VideoScore>{{"abababab-abab-abab-abab-abababababab", 0.5},
                                     {"00112233-4455-6677-8899-aabbccddeeff", 0.25}}));
}

TEST(Utf8Length, CountsScalarValues) {
  EXPECT_EQ(utf8_length(""), 0u);
  EXPECT_EQ(utf8_length("cart"), 4u);
  EXPECT_EQ(utf8_length("caf\xC3\xA9"), 4u);           // é
  EXPECT_EQ(utf8_length("\xE2\x82\xAC\xF0\x9F\x8E\xA5"), 2u);  // € and a 4-byte one
}

// The whole operation over a real trie: fallback, flags, limit, rendering.
class FuzzyMatchVideo : public testing::Test {
 protected:
  // Terms: cat (video 0 x2), car (video 1 x3), cart (video 1 x1, video 2 x1).
  // Node "ca" is inner.
  Trie t = term_trie({{"cat", pl(2, {0}, {2})},
                      {"car", pl(3, {1}, {3})},
                      {"cart", pl(2, {1, 2}, {1, 1})}});

  std::vector<VideoScore> run(std::string_view term, std::uint32_t d,
                              std::optional<bool> prefix = std::nullopt,
                              std::optional<std::size_t> limit = std::nullopt,
                              std::optional<double> min_score = std::nullopt) {
    return fuzzy_match_video(t, term, d, limit, prefix, min_score);
  }
};

TEST_F(FuzzyMatchVideo, FallsBackToInnerNodesOnlyWhenNoTermEndMatches) {
  // "ca" ends no term; at max_dist 0 only the inner node matches, weight 0.85,
  // and its propagated payload holds every video of its subtree.
  const double w0 = 1.0 * 0.85;
  const double total0 = 0.0 + w0 * 7.0;
  const std::vector<VideoScore> fallback{{"101", (0.0 + w0 * 4.0) / total0},
                                         {"100", (0.0 + w0 * 2.0) / total0},
                                         {"102", (0.0 + w0 * 1.0) / total0}};
  EXPECT_EQ(run("ca", 0), fallback);
  EXPECT_TRUE(run("ca", 0, false).empty());
  EXPECT_EQ(run("ca", 0, true), fallback);
  // At max_dist 1, car and cat end terms within 1, so "c" and "ca" are
  // ignored.
  const double w = (1.0 - 1.0 / 2.0) * 0.05;
  const double total = 0.0 + w * 5.0 + w * 2.0;
  EXPECT_EQ(run("ca", 1), (std::vector<VideoScore>{{"101", (0.0 + w * 4.0) / total},
                                                   {"100", (0.0 + w * 2.0) / total},
                                                   {"102", (0.0 + w * 1.0) / total}}));
  // With inner nodes asked for, c (d 1), ca (d 0), car, cat all pool.
  const double wc = w * 0.85;
  const double total_all = 0.0 + wc * 7.0 + w0 * 7.0 + w * 5.0 + w * 2.0;
  EXPECT_EQ(run("ca", 1, true),
            (std::vector<VideoScore>{
                {"101", (0.0 + wc * 4.0 + w0 * 4.0 + w * 4.0) / total_all},
                {"100", (0.0 + wc * 2.0 + w0 * 2.0 + w * 2.0) / total_all},
                {"102", (0.0 + wc * 1.0 + w0 * 1.0 + w * 1.0) / total_all}}));
}

TEST_F(FuzzyMatchVideo, EmptyTermAndEmptyIndex) {
  EXPECT_TRUE(run("", 5).empty());
  EXPECT_TRUE(fuzzy_match_video(Trie{}, "cat", 3, std::nullopt, std::nullopt,
                                std::nullopt)
                  .empty());
  EXPECT_TRUE(fuzzy_match_video(Trie{}, "", 0, 0, true, kNaN).empty());
}

TEST_F(FuzzyMatchVideo, CompactLayoutGivesTheSameRanking) {
  const prefix::matcher::CompactTrie compact(t);
  for (const char* term : {"", "c", "ca", "car", "cat", "cart", "xart", "dog"}) {
    for (std::uint32_t d = 0; d <= 3; ++d) {
      for (const std::optional<bool> prefix : {std::optional<bool>{}, std::optional<bool>{true},
                                               std::optional<bool>{false}}) {
        SCOPED_TRACE(testing::Message() << term << " d=" << d);
        EXPECT_EQ(fuzzy_match_video(t, compact, term, d, std::nullopt, prefix, 0.0),
                  fuzzy_match_video(t, term, d, std::nullopt, prefix, 0.0));
      }
    }
  }
}

TEST(FuzzyMatchVideoKeys, OutOfRangeVideoDroppedAfterTheCut) {
  // Video 5 ranks first but has no id: with limit 1 it takes the only place
  // and is then dropped.
  const Trie t = term_trie({{"ab", pl(4, {5, 0}, {3, 1})}}, 2);
  const auto run = [&](std::optional<std::size_t> limit) {
    return fuzzy_match_video(t, "ab", 0, limit, std::nullopt, std::nullopt);
  };
  EXPECT_EQ(run(std::nullopt), (std::vector<VideoScore>{{"100", 1.0 / 4.0}}));
  EXPECT_EQ(run(2), run(std::nullopt));
  EXPECT_TRUE(run(1).empty());
}

}  // namespace
}  // namespace tessaloom::ranking
