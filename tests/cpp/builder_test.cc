// The native builder against a straightforward one: a map-based trie,
// numbered by a breadth-first queue, whose payloads go through the same
// propagation. Both must give the same saved bytes.
#include "builder/index_builder.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "builder/propagate.h"
#include "helpers.h"
#include "prefix/trie/trie_format.h"

namespace tessaloom::builder {
namespace {

struct Rec {
  std::string term;
  std::uint32_t video;  // an integer id
  std::uint32_t count;
};

struct RefNode {
  std::map<char32_t, std::unique_ptr<RefNode>> children;
  bool terminal = false;
  std::uint64_t total = 0;
  std::vector<std::uint32_t> ids, counts;  // by first appearance
};

std::vector<std::uint8_t> reference_bytes(const std::vector<Rec>& recs,
                                          std::size_t top_n) {
  RefNode root;
  std::map<std::uint32_t, std::uint32_t> numbers;
  std::vector<std::uint32_t> ints;
  for (const Rec& r : recs) {
    auto [it, fresh] = numbers.emplace(r.video, ints.size());
    if (fresh) ints.push_back(r.video);
    RefNode* node = &root;
    for (char32_t c : test::u32(r.term)) {
      auto& child = node->children[c];
      if (!child) child = std::make_unique<RefNode>();
      node = child.get();
    }
    node->terminal = true;
    node->total += r.count;
    auto at = std::find(node->ids.begin(), node->ids.end(), it->second);
    if (at == node->ids.end()) {
      node->ids.push_back(it->second);
      node->counts.push_back(r.count);
    } else {
      node->counts[at - node->ids.begin()] += r.count;
    }
  }
  Trie t;
  PayloadTable supplied;
  std::deque<std::pair<const RefNode*, char32_t>> queue{{&root, U'\0'}};
  std::uint32_t next = 1;
  while (!queue.empty()) {
    auto [node, label] = queue.front();
    queue.pop_front();
    t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_transitions.size()));
    t.child_labels.push_back(label);
    t.terminal.push_back(node->terminal);
    if (node->terminal) {
      supplied.push({static_cast<std::uint32_t>(node->total), node->ids, node->counts});
    } else {
      supplied.push_absent();
    }
    for (const auto& [c, child] : node->children) {
      t.child_transitions.push_back(next++);
      queue.emplace_back(child.get(), c);
    }
  }
  if (!ints.empty()) t.id_mode = IdMode::Int32;
  t.video_int32_ids = ints;
  t.payloads = propagate(t, supplied, top_n);
  return encode_trie(t);
}

std::vector<std::uint8_t> built_bytes(const std::vector<Rec>& recs,
                                      std::size_t top_n) {
  IndexBuilder b;
  for (const Rec& r : recs) {
    const std::int64_t v = b.int_video(r.video);
    EXPECT_GE(v, 0);
    EXPECT_EQ(b.add(r.term, static_cast<std::uint32_t>(v), r.count), Refusal::None);
  }
  b.order();
  b.build_trie();
  b.propagate(top_n);
  return encode_trie(b.take_trie());
}

TEST(IndexBuilder, MatchesStraightforwardBuildOnRandomRecords) {
  // Characters of every UTF-8 width, few enough that terms share prefixes,
  // are prefixes of each other and repeat.
  const std::u32string alphabet = U"abz\u00e9\u00ff\u4e2d\U0001F600";
  std::mt19937 rng(12345);
  for (int round = 0; round < 300; ++round) {
    // Round 0 has no records: the empty index. Every third round, terms
    // behind a stem of 7 or 10 bytes share prefixes compared past 8 bytes.
    std::vector<Rec> recs(round == 0 ? 0 : rng() % 41);
    for (Rec& r : recs) {
      std::u32string term = round % 3 ? U"" : std::u32string(U"abcdefghij", rng() % 2 ? 7 : 10);
      term += test::random_query(rng, alphabet, 11);
      term.push_back(alphabet[rng() % alphabet.size()]);  // never empty
      r = {test::utf8(term), std::uint32_t(rng() % 7) * 1000003u, std::uint32_t(rng() % 51)};
    }
    for (std::size_t top_n : {0u, 1u, 3u, 1000u}) {
      ASSERT_EQ(built_bytes(recs, top_n), reference_bytes(recs, top_n))
          << "round " << round << ", top_n " << top_n;
    }
  }
}

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
