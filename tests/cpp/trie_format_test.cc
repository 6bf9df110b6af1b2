// Saving and restoring a whole Trie: the worked examples byte for byte, a
// failure in each field, hostile lengths, the golden file, and random tries
// that must round-trip.
#include "prefix/trie/trie_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace {
// The largest single allocation since the last reset: hostile lengths must
// not turn into large reservations.
std::size_t largest_allocation = 0;
}  // namespace

void* operator new(std::size_t n) {
  if (n > largest_allocation) largest_allocation = n;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace tessaloom {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(const std::string& s) {
  Bytes out;
  for (std::size_t i = 0; i < s.size();) {
    if (s[i] == ' ' || s[i] == '|') {
      ++i;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

std::string outcome(const Bytes& in) {
  auto d = decode_trie(in);
  return d ? "ok" : d.error().text();
}

// The one-node index: root only, empty payload, no videos.
const char* kOneNode = "01 00 | 01 00 | 00 | 01 01 00 00 00 | 00 | 00 | 00 | 01 00";

Trie one_node() {
  Trie t;
  t.node_shifts = {0};
  t.child_labels = {U'\0'};
  t.payloads.push({0, {}, {}});
  t.terminal = {0};
  return t;
}

TEST(TrieFormat, OneNodeExampleByteForByte) {
  const Bytes bytes = hex(kOneNode);
  ASSERT_EQ(bytes.size(), 15u);
  EXPECT_EQ(encoded_size(one_node()), 15u);
  EXPECT_EQ(encode_trie(one_node()), bytes);
  auto d = decode_trie(bytes);
  ASSERT_TRUE(d.ok()) << d.error().text();
  EXPECT_EQ(d.value(), one_node());

  Bytes tail = bytes;
  tail.insert(tail.end(), {0xFF, 0xFE, 0x00, 0x42});
  auto t = decode_trie(tail);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(encode_trie(t.value()), bytes);
}

TEST(TrieFormat, PayloadExampleByteForByte) {
  Trie t = one_node();
  t.payloads = PayloadTable();
  const std::vector<std::uint32_t> ids = {0}, counts = {70000};
  t.payloads.push({300, ids, counts});
  const Bytes bytes = encode_trie(t);
  const Bytes payload = hex("01 FB 2C 01 01 00 01 FC 70 11 01 00");
  ASSERT_GE(bytes.size(), 5 + 1 + payload.size());
  // Fields 1 to 3 take five bytes, then the payload vector's length.
  EXPECT_EQ(bytes[5], 0x01);
  EXPECT_EQ(Bytes(bytes.begin() + 6, bytes.begin() + 6 + payload.size()), payload);
  auto d = decode_trie(bytes);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d.value(), t);
}

// One failure in each field, and in each part of a payload.
TEST(TrieFormat, FailuresInEachField) {
  const std::string variant_option =
      "UnexpectedVariant { type_name: \"core::option::Option<tessaloom::payload::"
      "Payload>\", allowed: Range { min: 0, max: 1 }, found: 2 }";
  struct Case {
    const char* name;
    std::string hex;
    std::string text;
  } cases[] = {
      {"empty input", "", "UnexpectedEnd { additional: 1 }"},
      {"node_shifts length 254", "FE 00", "InvalidIntegerType { expected: U64, found: U128 }"},
      {"node_shifts element 253", "01 FD", "InvalidIntegerType { expected: U32, found: U64 }"},
      {"node_shifts cut", "02 00", "UnexpectedEnd { additional: 1 }"},
      {"child_labels length missing", "01 00", "UnexpectedEnd { additional: 1 }"},
      {"child_labels surrogate", "01 00 01 ED A0 80", "InvalidCharEncoding([237, 160, 128, 0])"},
      {"child_labels FF", "01 00 01 FF", "InvalidCharEncoding([255, 0, 0, 0])"},
      {"child_labels bad continuation", "01 00 01 C3 41", "InvalidCharEncoding([195, 65, 0, 0])"},
      {"child_transitions cut 4-byte form", "01 00 01 00 01 FC 01 02",
       "UnexpectedEnd { additional: 2 }"},
      {"payloads length missing", "01 00 01 00 00", "UnexpectedEnd { additional: 1 }"},
      {"payload tag 2", "01 00 01 00 00 01 02", variant_option},
      {"payload tag missing", "01 00 01 00 00 01", "UnexpectedEnd { additional: 1 }"},
      {"payload total 255", "01 00 01 00 00 01 01 FF",
       "InvalidIntegerType { expected: U32, found: Reserved }"},
      {"payload ids length 255", "01 00 01 00 00 01 01 00 FF",
       "InvalidIntegerType { expected: U64, found: Reserved }"},
      {"payload ids cut", "01 00 01 00 00 01 01 00 02 05", "UnexpectedEnd { additional: 1 }"},
      {"payload counts element 254", "01 00 01 00 00 01 01 00 00 01 FE",
       "InvalidIntegerType { expected: U32, found: U128 }"},
      {"video_uuids 10 of 16 bytes", "01 00 01 00 00 01 00 01 00112233445566778899",
       "UnexpectedEnd { additional: 6 }"},
      {"video_int32_ids cut", "01 00 01 00 00 01 00 00 01", "UnexpectedEnd { additional: 1 }"},
      {"id_mode missing", "01 00 01 00 00 01 00 00 00", "UnexpectedEnd { additional: 1 }"},
      {"id_mode 2", "01 00 01 00 00 01 00 00 00 02",
       "UnexpectedVariant { type_name: \"IdMode\", allowed: Range { min: 0, max: 1 }, found: 2 }"},
      {"id_mode 253", "01 00 01 00 00 01 00 00 00 FD",
       "InvalidIntegerType { expected: U32, found: U64 }"},
      {"terminal 2", "01 00 01 00 00 01 00 00 00 00 01 02", "InvalidBooleanValue(2)"},
      {"terminal missing", "01 00 01 00 00 01 00 00 00 00 01", "UnexpectedEnd { additional: 1 }"},
      {"one-node example, last byte cut", "01 00 01 00 00 01 01 00 00 00 00 00 00 01",
       "UnexpectedEnd { additional: 1 }"},
      {"fine", "01 00 01 00 00 01 00 00 00 00 01 01", "ok"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcome(hex(c.hex)), c.text);
  }
}

TEST(TrieFormat, OneNodeExampleWithOneByteChanged) {
  struct Case {
    std::size_t at;
    std::uint8_t byte;
    std::string text;
  } cases[] = {
      {0, 0xFE, "InvalidIntegerType { expected: U64, found: U128 }"},
      {1, 0xFD, "InvalidIntegerType { expected: U32, found: U64 }"},
      {6, 0x02,
       "UnexpectedVariant { type_name: \"core::option::Option<tessaloom::payload::Payload>\", "
       "allowed: Range { min: 0, max: 1 }, found: 2 }"},
      {12, 0x02,
       "UnexpectedVariant { type_name: \"IdMode\", allowed: Range { min: 0, max: 1 }, found: 2 }"},
      {14, 0x02, "InvalidBooleanValue(2)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.at);
    Bytes b = hex(kOneNode);
    b[c.at] = c.byte;
    EXPECT_EQ(outcome(b), c.text);
  }
}

TEST(TrieFormat, LongerFormsLoadAndSaveShortest) {
  // node_shifts [1] written as FB 01 00 with its length as FC 01 00 00 00.
  const Bytes longer =
      hex("FC 01 00 00 00 FB 01 00 | 01 00 | 00 | 01 01 FB 00 00 FB 00 00 FB 00 00 | 00 | 00 | "
          "FC 00 00 00 00 | 01 00");
  auto d = decode_trie(longer);
  ASSERT_TRUE(d.ok()) << d.error().text();
  Trie expected = one_node();
  expected.node_shifts = {1};
  EXPECT_EQ(d.value(), expected);
  EXPECT_EQ(encode_trie(d.value()), hex("01 01 | 01 00 | 00 | 01 01 00 00 00 | 00 | 00 | 00 | 01 00"));
}

TEST(TrieFormat, Int32ModeSavesIdsAsU32InFieldSix) {
  Trie t = one_node();
  t.id_mode = IdMode::Int32;
  t.video_int32_ids = {1, 4294967295u};
  EXPECT_EQ(encode_trie(t),
            hex("01 00 | 01 00 | 00 | 01 01 00 00 00 | 00 | 02 01 FC FF FF FF FF | 01 | 01 00"));
  t.id_mode = IdMode::Uuid;
  t.video_int32_ids.clear();
  t.video_uuids = {Uuid{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}};
  EXPECT_EQ(encode_trie(t),
            hex("01 00 | 01 00 | 00 | 01 01 00 00 00 | 01 0102030405060708090A0B0C0D0E0F10 | 00 | "
                "00 | 01 00"));
}

TEST(TrieFormat, HugeDeclaredLengthsFailAtOnceWithoutLargeAllocations) {
  // 12 bytes whose first length says 2^60 elements; the same in every field
  // that holds a vector.
  const std::string huge = "FD 00 00 00 00 00 00 00 10";
  struct Case {
    const char* name;
    std::string hex;
    std::string text;
  } cases[] = {
      {"node_shifts", huge + " 01 02 03", "UnexpectedEnd { additional: 1 }"},
      {"child_labels", "01 00 " + huge + " 41", "UnexpectedEnd { additional: 1 }"},
      {"payloads", "01 00 01 00 00 " + huge + " 00", "UnexpectedEnd { additional: 1 }"},
      {"payload ids", "01 00 01 00 00 01 01 00 " + huge + " 07", "UnexpectedEnd { additional: 1 }"},
      {"video_uuids", "01 00 01 00 00 01 00 " + huge + " 00 01", "UnexpectedEnd { additional: 14 }"},
      {"terminal", "01 00 01 00 00 01 00 00 00 00 " + huge + " 01 00",
       "UnexpectedEnd { additional: 1 }"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes in = hex(c.hex);
    largest_allocation = 0;
    EXPECT_EQ(outcome(in), c.text);
    EXPECT_LE(largest_allocation, 1024u);
  }
}

// Random tries, consistent or not: saving counts exactly what it writes,
// loading gives back an equal trie, and saving that gives the same bytes.
TEST(TrieFormat, RandomTriesRoundTrip) {
  std::mt19937_64 rng(20240611);
  auto pick = [&](std::uint64_t n) { return n == 0 ? 0 : rng() % n; };
  // Values that land in each varint form.
  auto value = [&]() -> std::uint32_t {
    switch (pick(4)) {
      case 0: return static_cast<std::uint32_t>(pick(251));
      case 1: return static_cast<std::uint32_t>(251 + pick(65536 - 251));
      case 2: return static_cast<std::uint32_t>(65536 + pick(0xFFFFFFFFull - 65536 + 1));
      default: return pick(2) ? 250 : 0xFFFFFFFF;
    }
  };
  auto label = [&]() -> char32_t {
    for (;;) {
      const char32_t c = static_cast<char32_t>(pick(4) == 0 ? pick(0x80) : pick(0x110000));
      if (format::is_scalar_value(c)) return c;
    }
  };
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    Trie t;
    const std::size_t n = pick(40);
    for (std::size_t i = 0; i < n; ++i) {
      t.node_shifts.push_back(value());
      t.child_labels.push_back(label());
      t.terminal.push_back(pick(2));
      if (pick(3) == 0) {
        t.payloads.push_absent();
      } else {
        std::vector<std::uint32_t> ids(pick(6)), counts(pick(2) ? ids.size() : pick(6));
        for (auto& v : ids) v = value();
        for (auto& v : counts) v = value();
        t.payloads.push({value(), ids, counts});
      }
    }
    for (std::size_t e = pick(40); e > 0; --e) t.child_transitions.push_back(value());
    if (pick(2)) {
      t.id_mode = IdMode::Int32;
      for (std::size_t v = pick(10); v > 0; --v) t.video_int32_ids.push_back(value());
    } else {
      for (std::size_t v = pick(10); v > 0; --v) {
        Uuid u;
        for (auto& b : u) b = static_cast<std::uint8_t>(rng());
        t.video_uuids.push_back(u);
      }
    }
    const Bytes bytes = encode_trie(t);
    ASSERT_EQ(bytes.size(), encoded_size(t));
    auto d = decode_trie(bytes);
    ASSERT_TRUE(d.ok()) << d.error().text();
    EXPECT_EQ(d.value(), t);
    EXPECT_EQ(encode_trie(d.value()), bytes);
    // Every proper prefix of a valid saving fails with UnexpectedEnd.
    const std::size_t cut = pick(bytes.size());
    auto short_read = decode_trie(std::span(bytes).first(cut));
    ASSERT_FALSE(short_read.ok());
    EXPECT_EQ(short_read.error().kind(), format::DecodeError::Kind::UnexpectedEnd);
  }
}

TEST(TrieFormat, GoldenFileRoundTrips) {
  std::ifstream f(TESSALOOM_TEST_DATA "/golden_index.bin", std::ios::binary);
  ASSERT_TRUE(f) << "missing " TESSALOOM_TEST_DATA "/golden_index.bin";
  const Bytes golden((std::istreambuf_iterator<char>(f)), {});
  auto d = decode_trie(golden);
  ASSERT_TRUE(d.ok()) << d.error().text();
  const Trie& t = d.value();
  EXPECT_EQ(t.id_mode, IdMode::Uuid);
  EXPECT_GT(t.node_count(), 10u);
  EXPECT_EQ(t.payloads.size(), t.node_count());
  EXPECT_EQ(encode_trie(t), golden);
}

}  // namespace
}  // namespace tessaloom
