// Video ranking: a reference written from the documented steps (weights,
// fallback, pooling in visiting order, threshold, order with ties by video
// number, cut, keys) anchored on exact examples, then random tries with
// random payloads and arguments against it, faults included.
#include "ranking/ranking.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "common/fault.h"
#include "helpers.h"
#include "index/index.h"

namespace tessaloom::ranking {

using common::PodArray;
using payload::Payload;
using prefix::trie::IdMode;
using prefix::trie::Trie;

namespace {

using index::Index;
using prefix::matcher::NodeMatch;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The ranking step by step as documented, equal scores by ascending video
// number; InternalFault where a node or payload breaks the invariants.
std::vector<VideoScore> reference_rank(const Trie& t, const std::string& term, std::uint32_t d,
                                       std::optional<std::size_t> limit, std::optional<bool> prefix,
                                       std::optional<double> min_score) {
  const std::u32string q = test::u32(term);
  std::vector<NodeMatch> matched = test::reference_nodes(t, q, d, prefix != true);
  if (!prefix && matched.empty()) matched = test::reference_nodes(t, q, d, false);
  double total = 0.0;
  std::map<std::uint32_t, double> pool;
  for (const auto& [i, dist] : matched) {
    if (dist > 0 && dist >= q.size()) continue;
    const double w =
        (dist == 0 ? 1.0 : (1.0 - dist / double(q.size())) * 0.05) * (t.terminal[i] ? 1.0 : 0.85);
    if (i >= t.payloads.size()) throw common::InternalFault("payloads");
    const auto p = t.payloads.payload(i);
    if (!p) continue;
    if (p->video_counts.size() < p->video_ids.size()) throw common::InternalFault("counts");
    total += w * p->total_count;
    for (std::size_t k = 0; k < p->video_ids.size(); ++k)
      pool[p->video_ids[k]] += w * p->video_counts[k];
  }
  if (!(total > 0.0)) return {};
  std::vector<std::pair<double, std::uint32_t>> ranked;  // (-score, video)
  for (const auto& [v, s] : pool)
    if (s / total >= min_score.value_or(0.01)) ranked.push_back({-(s / total), v});
  std::sort(ranked.begin(), ranked.end());
  ranked.resize(std::min(ranked.size(), limit.value_or(SIZE_MAX)));
  std::vector<VideoScore> out;
  for (const auto& [score, v] : ranked) {
    char key[40];
    const auto ints = t.videos.int_table();
    const auto uuids = t.videos.uuid_table();
    if (t.videos.kind() == IdMode::Int32 && v < ints.size()) {
      std::snprintf(key, sizeof key, "%u", ints[v]);
    } else if (t.videos.kind() == IdMode::Uuid && v < uuids.size()) {
      const auto& b = uuids[v];
      std::snprintf(key, sizeof key,
                    "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                    b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                    b[13], b[14], b[15]);
    } else {
      continue;
    }
    out.push_back({key, -score});
  }
  return out;
}

std::string render(const std::vector<VideoScore>& vs) {
  std::string out;
  char score[40];
  for (const auto& v : vs) {
    std::snprintf(score, sizeof score, " %a;", v.score);
    out += v.key + score;
  }
  return out;
}
template <class F>
std::string outcome(F f) {
  return test::outcome(f, [](const auto& r) { return render(r); });
}

// root -a-> 1 -b-> 2 -c-> 3 -> d(4), e(5); "abcd" and "abce" end terms.
Trie abcd_trie() {
  Trie t = test::trie_from_nodes({{0, false, {1}},
                                  {U'a', false, {2}},
                                  {U'b', false, {3}},
                                  {U'c', false, {4, 5}},
                                  {U'd', true, {}},
                                  {U'e', true, {}}});
  test::set_payloads(t, {{},
                         {},
                         {},
                         Payload{11, {0, 2}, {6, 5}},
                         Payload{10, {0, 1, 2}, {6, 3, 1}},
                         Payload{100, {2}, {100}}});
  prefix::trie::Uuid u;
  for (std::size_t i = 0; i < 16; ++i) u[i] = static_cast<std::uint8_t>(i * 0x11);
  t.videos = prefix::trie::VideoIds(IdMode::Int32, {u}, {100, 4294967295u, 102});
  return t;
}

TEST(FuzzyMatchVideo, WorkedExamples) {
  const double wb = (1.0 - 1.0 / 4.0) * 0.05, total = 0.0 + 1.0 * 10.0 + wb * 100.0;
  const double w3 = 1.0 * 0.85, w1 = (1.0 - 1.0 / 3.0) * 0.05;
  const double total3 = 0.0 + w3 * 11.0 + w1 * 10.0 + w1 * 100.0;
  const struct {
    IdMode mode;
    const char* term;
    std::uint32_t d;
    std::optional<std::size_t> limit;
    std::optional<bool> prefix;
    std::vector<VideoScore> expected;
  } cases[] = {
      {IdMode::Int32,
       "abcd",
       1,
       {},
       {},
       {{"100", (0.0 + 1.0 * 6.0) / total},
        {"102", (0.0 + 1.0 * 1.0 + wb * 100.0) / total},
        {"4294967295", (0.0 + 1.0 * 3.0) / total}}},
      // Video 2 has no UUID: dropped after the cut.
      {IdMode::Uuid, "abcd", 1, 2, {}, {{"00112233-4455-6677-8899-aabbccddeeff", 6.0 / total}}},
      // No term end within 0: the inner node, weighed 0.85.
      {IdMode::Int32,
       "abc",
       0,
       {},
       {},
       {{"100", (0.0 + w3 * 6.0) / (0.0 + w3 * 11.0)},
        {"102", (0.0 + w3 * 5.0) / (0.0 + w3 * 11.0)}}},
      // Inner nodes and term ends pool; "ab" has no payload; video 1 scores
      // 0.1 / 13.02, below 0.01.
      {IdMode::Int32,
       "abc",
       1,
       {},
       true,
       {{"102", (0.0 + w3 * 5.0 + w1 * 1.0 + w1 * 100.0) / total3},
        {"100", (0.0 + w3 * 6.0 + w1 * 6.0) / total3}}},
  };
  Trie t = abcd_trie();
  for (const auto& c : cases) {
    SCOPED_TRACE(render(c.expected));
    t.videos = prefix::trie::VideoIds(c.mode, PodArray<prefix::trie::Uuid>(t.videos.uuid_table()),
                                      PodArray<std::uint32_t>(t.videos.int_table()));
    EXPECT_EQ(render(Index(t).fuzzy_match_video(c.term, c.d, c.limit, c.prefix, {})),
              render(c.expected));
    EXPECT_EQ(render(reference_rank(t, c.term, c.d, c.limit, c.prefix, {})), render(c.expected));
  }
}

// Small random tries (shuffled numbering, U+0000 and repeated labels) with
// small counts, so that equal scores and cuts among them are common; video
// numbers past the id tables; absent, empty and zero-total payloads; now and
// then a payload table too short or counts shorter than ids (a fault).
TEST(FuzzyMatchVideo, RandomTriesAgreeWithReference) {
  std::mt19937 rng(4242);
  const std::u32string alphabet = U"ab\u00e9";
  const std::optional<double> scores[] = {{}, 0.0, 0.01, 0.2, kNaN, -HUGE_VAL};
  const std::optional<bool> prefixes[] = {{}, true, false};
  for (int round = 0; round < 1000; ++round) {
    SCOPED_TRACE(round);
    const std::u32string letters = alphabet + char32_t(round % 5 ? 'b' : 0);
    Trie t = round == 0 ? Trie{} : test::random_trie(rng, letters, 40, 3, round % 2);
    // Every fourth round, long lists (decoded and pooled in blocks) of ids
    // and counts in every stored form, over a video table of thousands.
    const bool wide = round % 4 == 3;
    auto id = [&]() -> std::uint32_t {
      if (!wide || rng() % 3 == 0) return rng() % 6;
      return rng() % 20 == 0 ? 70000 + rng() % 9 : rng() % 6000;
    };
    auto count = [&]() -> std::uint32_t {
      return wide && rng() % 4 == 0 ? rng() % 70000 : rng() % 4;
    };
    std::vector<std::optional<Payload>> ps(t.node_count());
    for (auto& p : ps) {
      if (rng() % 4 == 0) continue;
      p = Payload{rng() % 6 == 0 ? 0u : std::uint32_t(rng() % 20), {}, {}};
      for (std::size_t k = rng() % (wide ? 40 : 4); k > 0; --k)
        p->video_ids.push_back(id()), p->video_counts.push_back(count());
      if (rng() % 40 == 0 && !p->video_counts.empty()) p->video_counts.pop_back();
    }
    if (!ps.empty() && rng() % 30 == 0) ps.pop_back();
    test::set_payloads(t, ps);
    PodArray<std::uint32_t> ints;
    for (std::size_t v = 3 + rng() % (wide ? 5000 : 4); v > 0; --v)
      ints.push_back(rng() % 3 == 0 ? 4294967295u : std::uint32_t(rng()));
    PodArray<prefix::trie::Uuid> uuids;
    for (std::size_t v = 3 + rng() % 4; v > 0; --v) {
      uuids.push_back({});
      for (auto& b : uuids.back()) b = static_cast<std::uint8_t>(rng());
    }
    t.videos = prefix::trie::VideoIds(rng() % 2 ? IdMode::Int32 : IdMode::Uuid, std::move(uuids),
                                      std::move(ints));
    const Index fast(t), arrays(t, Index::Walk::Arrays);
    for (int qi = 0; qi < 8; ++qi) {
      // Mostly a path of the trie with one letter changed, so that matches abound.
      std::u32string q = test::random_query(rng, alphabet, 5);
      if (const auto all = test::reference_walk(t, U"", 4294967295u); !all.empty() && rng() % 4)
        if (!(q = all[rng() % all.size()].term).empty()) q[rng() % q.size()] = alphabet[rng() % 3];
      const std::string term = test::utf8(q);
      const std::uint32_t d = rng() % 10 == 0 ? 4294967295u : rng() % 4;
      const std::optional<std::size_t> limit =
          rng() % 2 ? std::nullopt : std::optional<std::size_t>(rng() % 4);
      const auto prefix = prefixes[rng() % 3];
      const auto min_score = scores[rng() % 6];
      SCOPED_TRACE(term + " d" + std::to_string(d));
      const std::string want =
          outcome([&] { return reference_rank(t, term, d, limit, prefix, min_score); });
      for (const Index* i : {&fast, &arrays})
        ASSERT_EQ(outcome([&] { return i->fuzzy_match_video(term, d, limit, prefix, min_score); }),
                  want);
    }
  }
}

// Sums kept per thread between calls: counts in every stored form, numbers
// inside and beyond the video table, a call stopped by a fault half way
// through pooling, and tables of other sizes: each call answers as the
// reference does, so nothing is left over from an earlier one.
TEST(FuzzyMatchVideo, PooledSumsStartAfreshEveryCall) {
  // root -a-> 1 -b-> 2; both terms.
  Trie t = test::trie_from_nodes({{0, false, {1}}, {U'a', true, {2}}, {U'b', true, {}}});
  const Payload big{70300, {0, 2, 7, 1}, {300, 70000, 250, 0}};
  const Payload small{9, {2, 0}, {4, 5}};
  const Payload broken{5, {0, 1, 2}, {1, 1}};  // fewer counts than ids
  for (std::size_t videos : {3u, 0u, 1u, 9u}) {
    SCOPED_TRACE(videos);
    PodArray<std::uint32_t> ints(videos, 7);
    for (std::uint32_t v = 0; v < videos; ++v) ints[v] = 100 + v;
    t.videos = prefix::trie::VideoIds(std::move(ints));
    for (const auto& second : {small, broken, small}) {
      test::set_payloads(t, {{}, big, second});
      for (std::optional<double> min_score :
           {std::optional<double>(0.0), std::optional<double>()}) {
        const auto want = outcome([&] { return reference_rank(t, "a", 1, {}, true, min_score); });
        ASSERT_EQ(outcome([&] { return Index(t).fuzzy_match_video("a", 1, {}, true, min_score); }),
                  want);
      }
    }
  }
}

// Nodes reachable along several paths are pooled once per path, within
// bounds: a leaf holding most of the entries, behind 2 parents, answers as
// the reference does; behind 20 it would pool ten times what the index
// stores, and is a fault.
TEST(FuzzyMatchVideo, PoolingIsBoundedByTheIndexSize) {
  Payload heavy{1000, {}, {}};
  for (std::uint32_t v = 0; v < 1000; ++v)
    heavy.video_ids.push_back(v), heavy.video_counts.push_back(1 + v % 7);
  for (std::uint32_t parents : {2u, 20u}) {
    std::vector<test::TestNode> nodes{{0, false, {}}};
    const std::uint32_t leaf = parents + 1;
    for (std::uint32_t i = 1; i <= parents; ++i) {
      nodes[0].children.push_back(i);
      nodes.push_back({U'a', false, {leaf}});
    }
    nodes.push_back({U'b', true, {}});
    Trie t = test::trie_from_nodes(nodes);
    std::vector<std::optional<Payload>> ps(nodes.size(), Payload{1, {}, {}});
    ps.back() = heavy;
    test::set_payloads(t, ps);
    t.videos = prefix::trie::VideoIds(PodArray<std::uint32_t>(1000, 0));
    SCOPED_TRACE(parents);
    const auto got = outcome([&] { return Index(t).fuzzy_match_video("ab", 0, 5, {}, 0.0); });
    if (parents == 2) {
      EXPECT_EQ(got, render(reference_rank(t, "ab", 0, 5, {}, 0.0)));
      EXPECT_NE(got, "");
    } else {
      EXPECT_EQ(got, "fault");
    }
  }
}

// Videos passed over without their division: with min_score set to a
// returned score, exactly the videos scoring at least it come back, and one
// step above it, those scoring more; each limit keeps the first entries of
// the whole order, across runs of equal scores (small counts make many).
TEST(FuzzyMatchVideo, ExactScoresAtTheThresholdAndTheCut) {
  std::mt19937 rng(77);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    Trie t = test::random_trie(rng, U"ab", 30, 3, round % 2);
    std::vector<std::optional<Payload>> ps(t.node_count());
    for (auto& p : ps) {
      p = Payload{1 + std::uint32_t(rng() % 20), {}, {}};
      for (std::size_t k = rng() % 6; k > 0; --k)
        p->video_ids.push_back(rng() % 12), p->video_counts.push_back(rng() % 3);
    }
    test::set_payloads(t, ps);
    t.videos = prefix::trie::VideoIds(PodArray<std::uint32_t>(12, 5));
    const Index index(t);
    const std::string term = test::utf8(test::random_query(rng, U"ab", 3));
    const auto all = index.fuzzy_match_video(term, 2, {}, true, 0.0);
    auto scoring = [&](auto keep) {
      std::vector<VideoScore> out;
      for (const auto& v : all)
        if (keep(v.score)) out.push_back(v);
      return out;
    };
    for (const auto& v : all) {
      const double above = std::nextafter(v.score, HUGE_VAL);
      EXPECT_EQ(index.fuzzy_match_video(term, 2, {}, true, v.score),
                scoring([&](double s) { return s >= v.score; }));
      EXPECT_EQ(index.fuzzy_match_video(term, 2, {}, true, above),
                scoring([&](double s) { return s >= above; }));
    }
    for (std::size_t k = 0; k <= all.size(); ++k) {
      const std::vector<VideoScore> first(all.begin(), all.begin() + k);
      EXPECT_EQ(index.fuzzy_match_video(term, 2, k, true, 0.0), first);
      if (k > 0) {
        EXPECT_EQ(index.fuzzy_match_video(term, 2, all.size(), true, all[k - 1].score),
                  scoring([&](double s) { return s >= all[k - 1].score; }));
      }
    }
  }
}

}  // namespace
}  // namespace tessaloom::ranking
