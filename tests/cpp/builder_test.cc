// The native builder's record checks, hash tables, ordering and interrupts,
// and the growth of the arrays it fills. Its
// indexes, video numbering included, are compared with the reference
// builder's (tessaloom.build_arrays) on random records by the Python suite
// (test_build_index.py).
#include "builder/index_builder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/interrupt.h"
#include "common/pod_array.h"

namespace tessaloom::builder {

using common::Interrupt;
using common::Interrupted;
using prefix::trie::Uuid;

namespace {

// The field a refusal names, and its reason; "" when the call went through.
template <class F>
std::string refusal(F&& f) {
  try {
    f();
    return "";
  } catch (const RefusedRecord& e) {
    return std::string(e.field()) + ": " + e.what();
  }
}

TEST(IndexBuilder, RefusedRecordsChangeNothing) {
  IndexBuilder b;
  const std::uint32_t v = b.int_video(7);
  b.add("cat", v, 0xFFFFFFF0u);
  const std::string total = "count: the term's total count would pass 2^32-1";
  const std::string unicode = "term: term must be valid Unicode";
  const std::tuple<std::string, std::uint64_t, std::string> cases[] = {
      {"", 1, "term: term must not be empty"},
      {std::string("a\0b", 3), 1, "term: term must not contain U+0000"},
      {"\xed\xa0\x80", 1, unicode},  // a surrogate
      {"\xc3", 1, unicode},          // truncated
      {"cat", 0x10, total},
      {"dog", 0x100000000u, total},
  };
  for (const auto& [term, count, expected] : cases) {
    EXPECT_EQ(refusal([&] { b.add(term, v, count); }), expected) << term;
  }
  EXPECT_EQ(refusal([&] { b.uuid_video(Uuid{}); }),
            "video id: video ids must be all UUIDs or all integers");
  b.add("cat", v, 0xF);  // exactly 2^32-1 in all
  EXPECT_EQ(b.record_count(), 2u);
  EXPECT_EQ(b.term_count(), 1u);
}

// An unkeyed multiply-xorshift hash of 8-byte words, of the kind whose state
// after the first word can be cancelled by the second: every key
// (w, state(w) ^ T) hashes alike, so such keys are made in closed form.
std::uint64_t after_word(std::uint64_t h, std::uint64_t w) {
  h = (h ^ w) * 0xBF58476D1CE4E5B9u;
  return h ^ (h >> 32);
}

// 16-byte keys that all collide under that hash: 50,000 UUIDs, and 50,000
// ASCII terms (the second word kept when all its bytes are 1..0x7F).
std::vector<std::array<unsigned char, 16>> crafted_keys(bool ascii) {
  const std::uint64_t seed = 0x243F6A8885A308D3u ^ 16, target = 0x5A5A5A5A5A5A5A5Au;
  std::vector<std::array<unsigned char, 16>> keys;
  for (std::uint64_t i = 0; keys.size() < 50000; ++i) {
    std::uint64_t w0 = i;
    if (ascii) {  // letters a..p
      w0 = 0;
      for (int k = 0; k < 8; ++k) w0 |= (0x61 + ((i >> (4 * k)) & 0xF)) << (8 * k);
    }
    const std::uint64_t w1 = after_word(seed, w0) ^ target;
    bool ok = true;
    for (int k = 0; ascii && k < 8; ++k) ok = ok && ((w1 >> (8 * k)) & 0xFF) - 1 < 0x7F;
    if (!ok) continue;
    std::array<unsigned char, 16> key;
    std::memcpy(key.data(), &w0, 8);
    std::memcpy(key.data() + 8, &w1, 8);
    keys.push_back(key);
  }
  return keys;
}

TEST(IndexBuilder, CraftedKeysDoNotCollideInItsTables) {
  for (const bool ascii : {false, true}) {
    const auto keys = crafted_keys(ascii);
    std::set<std::uint64_t> unkeyed, low_bits;
    for (const auto& key : keys) {
      std::uint64_t w0, w1;
      std::memcpy(&w0, key.data(), 8);
      std::memcpy(&w1, key.data() + 8, 8);
      unkeyed.insert(after_word(after_word(0x243F6A8885A308D3u ^ 16, w0), w1));
      low_bits.insert(keyed_hash(key.data(), key.size()) & 0xFFFF);
    }
    ASSERT_EQ(unkeyed.size(), 1u);  // the keys are what they are meant to be
    // 50,000 random hashes take about 35,000 of the 65,536 low 16-bit values.
    EXPECT_GT(low_bits.size(), 30000u) << (ascii ? "terms" : "uuids");

    IndexBuilder b;
    for (std::uint32_t k = 0; k < keys.size(); ++k) {
      Uuid id;
      std::memcpy(id.data(), keys[k].data(), 16);
      if (ascii) {
        const std::string term(reinterpret_cast<const char*>(keys[k].data()), 16);
        b.add(term, b.int_video(k % 100), 1);
      } else {
        ASSERT_EQ(b.uuid_video(id), k);
      }
    }
    EXPECT_EQ(ascii ? b.term_count() : b.video_count(), keys.size());
  }
}

TEST(IndexBuilder, OrdersTermsSortedInRunsAndMerged) {
  // 140,000 terms, more than two runs of the sort, added scrambled: the
  // eight-byte lead they share sends every comparison to the rest of the
  // term. Sorted right, they share every prefix: the root, eight nodes of the
  // lead, then ceil(140000 / 10^(6-L)) nodes of each digit prefix length L.
  constexpr std::uint32_t kTerms = 140000;
  IndexBuilder b;
  const std::uint32_t v = b.int_video(1);
  for (std::uint32_t k = 0; k < kTerms; ++k) {
    const std::string digits = std::to_string(1000000 + (k * 7919u) % kTerms).substr(1);
    b.add("leadterm" + digits, v, 1);
  }
  b.order();
  b.build_trie();
  EXPECT_EQ(b.node_count(), 1u + 8 + 2 + 14 + 140 + 1400 + 14000 + 140000);
}

TEST(PodArray, KeepsItsElementsAsItsBlockGrowsAndShrinks) {
  // Past the size from which blocks are mappings of their own, and back.
  const std::size_t big = 3 * common::kMappedBytes / sizeof(std::uint32_t) + 7;
  common::PodArray<std::uint32_t> a;
  for (std::uint32_t k = 0; k < big; ++k) a.push_back(k * 2654435761u);
  common::PodArray<std::uint32_t> copy(a);
  auto holds = [](const common::PodArray<std::uint32_t>& x, std::size_t n) {
    for (std::uint32_t k = 0; k < n; ++k)
      if (x[k] != k * 2654435761u) return false;
    return x.size() == n;
  };
  EXPECT_TRUE(holds(copy, big));
  a.resize_for_overwrite(100);
  a.shrink_to_fit();  // from a mapping back to the heap
  EXPECT_TRUE(holds(a, 100));
  a = std::move(copy);
  EXPECT_TRUE(holds(a, big) && copy.empty());
  // A new block with its pages in place replaces the mapping, then is cut
  // back like any other.
  a.assign_for_overwrite(big + 1);
  for (std::uint32_t k = 0; k <= big; ++k) a[k] = k * 2654435761u;
  EXPECT_TRUE(holds(a, big + 1) && a.capacity() == big + 1);
  a.resize_for_overwrite(100);
  a.shrink_to_fit();
  EXPECT_TRUE(holds(a, 100));
}

// Says stop at its first question.
class StopNow final : public Interrupt {
 public:
  bool requested() override { return true; }
};

TEST(IndexBuilder, EachPhaseStopsWhenItsInterruptSaysSo) {
  // Enough terms, nodes and records that each phase polls past its first
  // check; an interrupted phase frees what it made (ASan checks leaks).
  auto fill = [](IndexBuilder& b) {
    const std::uint32_t v = b.int_video(1);
    for (std::uint32_t k = 0; k < 20000; ++k) {
      b.add("t" + std::to_string(k * 7919u), v, 1);
    }
  };
  for (int phase = 0; phase < 3; ++phase) {
    IndexBuilder b;
    fill(b);
    auto run = [&](int p) {
      if (p == 0) b.order();
      if (p == 1) b.build_trie();
      if (p == 2) b.propagate(10);
    };
    for (int p = 0; p < phase; ++p) run(p);
    StopNow stop;
    const Interrupt::Scope scope(stop);
    EXPECT_THROW(run(phase), Interrupted) << "phase " << phase;
  }
  // Without an Interrupt, or after its scope, the phases run through.
  IndexBuilder b;
  fill(b);
  b.order();
  b.build_trie();
  b.propagate(10);
  EXPECT_GT(b.node_count(), 20000u);
}

}  // namespace
}  // namespace tessaloom::builder
