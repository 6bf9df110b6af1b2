// The byte format: worked examples byte for byte (payloads, UUIDs and labels
// of every width are the golden file's, test_persist.py), every refusal with its text
// and count (at every place it can stand), hostile lengths, and the block
// paths against one value at a time. (Round trips of random and hostile
// input are the fuzzer's; the golden file is the Python suite's.)
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <new>

#include "common/fault.h"
#include "helpers.h"
#include "prefix/trie/trie_format.h"

namespace {
// The largest operator-new allocation since the last reset: hostile lengths
// must not turn into large reservations.
std::size_t largest_allocation = 0;
}  // namespace
void* operator new(std::size_t n) {
  largest_allocation = std::max(largest_allocation, n);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
// g++ takes a free() of what the replaced operator new returned for a
// mismatch once both are inlined into a container's code.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace tessaloom::format {

using common::PodArray;
using prefix::trie::decode_trie;
using prefix::trie::encode_trie;
using prefix::trie::Trie;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(const std::string& s) {
  Bytes out;
  for (std::size_t i = 0; i < s.size(); ++i)
    if (std::isxdigit(static_cast<unsigned char>(s[i])))
      out.push_back(static_cast<std::uint8_t>(std::stoul(s.substr(i++, 2), nullptr, 16)));
  return out;
}

std::string outcome(std::span<const std::uint8_t> in) {
  return test::outcome([&] { return decode_trie(in); }, [](const Trie&) { return "ok"; });
}

// The one-node index (root only, empty payload, no videos), changed by `f`.
Trie one_node(void (*f)(Trie&) = [](Trie&) {}) {
  Trie t;
  t.node_shifts = {0};
  t.child_labels = {U'\0'};
  test::set_payloads(t, {payload::Payload{}});
  t.terminal = {0};
  f(t);
  return t;
}

TEST(TrieFormat, WorkedExamplesByteForByte) {
  const std::pair<Trie, std::string> cases[] = {
      {one_node(), "01 00 | 01 00 | 00 | 01 01 00 00 00 | 00 | 00 | 00 | 01 00"},
      // u32 values in their shortest forms, on each side of each boundary.
      {one_node([](Trie& t) {
         t.node_shifts = {250, 251, 65535, 65536, 4294967295u};
       }),
       "05 FA FB FB 00 FB FF FF FC 00 00 01 00 FC FF FF FF FF | "
       "01 00 | 00 | 01 01 00 00 00 | 00 | 00 | 00 | 01 00"},
      {one_node([](Trie& t) {
         t.videos = prefix::trie::VideoIds(PodArray<std::uint32_t>{1, 4294967295u});
       }),
       "01 00 | 01 00 | 00 | 01 01 00 00 00 | 00 | 02 01 FC FF FF FF FF | 01 | 01 00"},
      // Ids in the table the kind does not select (only a saved form can
      // hold them) are kept, and saved again as they were.
      {one_node([](Trie& t) {
         t.videos = prefix::trie::VideoIds(
             prefix::trie::IdMode::Int32,
             PodArray<prefix::trie::Uuid>{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
             PodArray<std::uint32_t>{7});
       }),
       "01 00 | 01 00 | 00 | 01 01 00 00 00 | 01 0102030405060708090A0B0C0D0E0F10 | 01 07 | 01 | "
       "01 00"},
  };
  for (const auto& [trie, text] : cases) {
    SCOPED_TRACE(text);
    const Bytes bytes = hex(text);
    EXPECT_EQ(prefix::trie::encoded_size(trie), bytes.size());
    EXPECT_EQ(encode_trie(trie), bytes);
    EXPECT_EQ(decode_trie(hex(text + "FF FE 00 42")),
              trie);  // bytes after the last field are ignored
  }
  // Longer forms load; saving writes the shortest.
  const Trie d =
      decode_trie(hex("FD 01 00 00 00 00 00 00 00 FB 01 00 | FC 01 00 00 00 00 | 00 | "
                      "01 01 FB 00 00 FB 00 00 FB 00 00 | 00 | 00 | FC 00 00 00 00 | 01 00"));
  EXPECT_EQ(d, one_node([](Trie& t) { t.node_shifts = {1}; }));
  EXPECT_EQ(encode_trie(d), hex("01 01 | 01 00 | 00 | 01 01 00 00 00 | 00 | 00 | 00 | 01 00"));
  // A label that is not a scalar value has no encoding.
  for (char32_t c : {char32_t{0xD800}, char32_t{0xDFFF}, char32_t{0x110000}}) {
    Trie t = one_node();
    t.child_labels = {U'a', c};
    EXPECT_THROW(prefix::trie::encoded_size(t), common::InternalFault);
  }
}

std::string short_by(int n) { return "UnexpectedEnd { additional: " + std::to_string(n) + " }"; }
std::string bad_int(const char* expected, const char* found) {
  return std::string("InvalidIntegerType { expected: ") + expected + ", found: " + found + " }";
}
std::string bad_char(const char* bytes) {
  return std::string("InvalidCharEncoding([") + bytes + "])";
}
std::string variant(const char* type, const char* found) {
  return std::string("UnexpectedVariant { type_name: \"") + type +
         "\", allowed: Range { min: 0, max: 1 }, found: " + found + " }";
}

// Every refusal, read where it stands in a saved index; u32 and length forms
// at every place such a value stands. The inputs are small, so no case may
// allocate much; a refusal of the bytes themselves (not an end) must not
// change with more input after it.
TEST(TrieFormat, EveryRefusalWithItsText) {
  const std::string huge = "FD 00 00 00 00 00 00 00 10 ", end1 = short_by(1);  // 2^60
  // What comes before each field: minimal earlier fields, one absent payload.
  const std::string labels = "01 00 ", trans = labels + "01 00 ", payloads = trans + "00 ",
                    payload = payloads + "01 ", uuids = payload + "00 ", ints = uuids + "00 ",
                    mode = ints + "00 ", terminal = mode + "00 ", label = labels + "01 ";
  const char* option = "core::option::Option<tessaloom::payload::Payload>";
  std::vector<std::pair<std::string, std::string>> cases = {
      {label + "80 80", bad_char("128, 0, 0, 0")},
      {label + "C0 80", bad_char("192, 0, 0, 0")},
      {label + "C1", bad_char("193, 0, 0, 0")},
      {label + "F5 80 80 80", bad_char("245, 0, 0, 0")},
      {label + "FF", bad_char("255, 0, 0, 0")},
      {label + "C3", end1},
      {label + "E2", short_by(2)},
      {label + "F0 9F 98", end1},
      {label + "C3 41", bad_char("195, 65, 0, 0")},
      {label + "ED A0 80", bad_char("237, 160, 128, 0")},  // surrogate
      {label + "E0 9F BF", bad_char("224, 159, 191, 0")},  // overlong
      {label + "F0 8F BF BF", bad_char("240, 143, 191, 191")},
      {label + "F4 90 80 80", bad_char("244, 144, 128, 128")},  // past 10FFFF
      {label + "E2 82 41", bad_char("226, 130, 65, 0")},
      {label + "F0 9F 98 C0", bad_char("240, 159, 152, 192")},
      {"01 00 02 61 C3 41", bad_char("195, 65, 0, 0")},
      {payload, end1},
      {payload + "02", variant(option, "2")},
      {payload + "FB 00 00", variant(option, "251")},  // a tag is a byte, not a varint
      {payload + "01 00 02 05", end1},
      {mode, end1},
      {mode + "02", variant("IdMode", "2")},
      {mode + "FC FF FF FF FF", variant("IdMode", "4294967295")},
      {terminal + "01 02", "InvalidBooleanValue(2)"},
      {terminal + "01 FF", "InvalidBooleanValue(255)"},
      {terminal + "09 01 00 07 01", "InvalidBooleanValue(7)"},  // before the end is noticed
      {terminal + "04 01 00 01", end1},
      {terminal + "01", end1},
      {uuids + "01 00112233445566778899", short_by(6)},
      {uuids + "02 00112233445566778899AABBCCDDEEFF", short_by(16)},
      {"03 01 02 FC 09 09", short_by(2)},
      {"04 01 02 03", end1},
      {"0C 01 02 03 04 05 06 07 08 09 FD 01 01 01 01 01 01 01 01", bad_int("U32", "U64")},
      // Hostile lengths fail at once, in every vector.
      {huge + "01 02 03", end1},
      {labels + huge + "41", end1},
      {payloads + huge + "00", end1},
      {payload + "01 00 " + huge + "07", end1},
      {uuids + huge + "00 01", short_by(14)},
      {uuids + huge + std::string(40, 'A'), short_by(12)},
      {terminal + huge + "01 00", end1},
      {"01 00 01 00 00 01 01 00 00 00 00 00 00 01", end1},  // one-node example, cut
      {"01 00 01 00 00 01 00 00 00 00 01 01", "ok"},
  };
  const std::pair<std::string, std::string> u32_forms[] = {
      {"", end1},
      {"FB", short_by(2)},
      {"FB 01", end1},
      {"FC 01 02", short_by(2)},
      {"FC", short_by(4)},
      {"FD", bad_int("U32", "U64")},
      {"FD 01 00 00 00 00 00 00 00", bad_int("U32", "U64")},
      {"FE", bad_int("U32", "U128")},
      {"FF 00 00 00 00 00 00 00 00", bad_int("U32", "Reserved")}};
  for (const std::string& at : {std::string("01 "), trans + "01 ", payload + "01 ",
                                payload + "01 00 01 ", payload + "01 00 00 01 ", ints + "01 "})
    for (const auto& [form, text] : u32_forms) cases.push_back({at + form, text});
  const std::pair<std::string, std::string> len_forms[] = {{"", end1},
                                                           {"FB", short_by(2)},
                                                           {"FC 01 02 03", end1},
                                                           {"FD", short_by(8)},
                                                           {"FD 01 02 03 04 05", short_by(3)},
                                                           {"FE", bad_int("U64", "U128")},
                                                           {"FF", bad_int("U64", "Reserved")}};
  for (const std::string& at : {std::string(), labels, trans, payloads, payload + "01 00 ",
                                payload + "01 00 00 ", uuids, ints, terminal})
    for (const auto& [form, text] : len_forms) cases.push_back({at + form, text});

  for (const auto& [in, text] : cases) {
    SCOPED_TRACE(in);
    Bytes bytes = hex(in);
    largest_allocation = 0;
    EXPECT_EQ(outcome(bytes), text);
    EXPECT_LE(largest_allocation, 1024u);
    if (text.rfind("UnexpectedEnd", 0) == 0 || text == "ok") continue;
    bytes.resize(bytes.size() + 16, 0x00);
    EXPECT_EQ(outcome(bytes), text);
  }
}

// The block paths of bulk reading and writing (runs of one-byte values,
// checks hoisted per vector) against one value at a time, on runs of every
// length, mixes of forms, refused markers and inputs cut anywhere.
TEST(BulkU32, BlockPathsMatchOneValueAtATime) {
  std::mt19937_64 rng(7);
  auto attempt = [](std::span<const std::uint8_t> input, auto read) {
    Reader r(input);
    try {
      read(r);
      return "ok left " + std::to_string(r.remaining());
    } catch (const DecodeError& e) {
      return e.text();
    }
  };
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE(round);
    const std::size_t n = rng() % (round % 10 == 0 ? 200 : 40);
    std::vector<std::uint32_t> values(n);
    const int small = std::array{100, 99, 90, 50, 0}[rng() % 5];
    for (auto& v : values)
      v = static_cast<int>(rng() % 100) < small ? rng() % 251
          : rng() % 2                           ? 251 + rng() % (65536 - 251)
                                                : static_cast<std::uint32_t>(rng());
    const std::span<const std::uint32_t> vec(values.data(), n);
    const std::size_t size = u32s_size(vec) + (rng() % 2 ? rng() % 3 : 40);
    Bytes bulk(size), in(size);
    Writer wb(bulk), ws(in);
    wb.write_u32s(vec);
    ws.write_len(n);
    for (std::uint32_t v : vec) ws.write_u32(v);
    ASSERT_EQ(wb.remaining(), ws.remaining());
    in.resize(size - ws.remaining());
    ASSERT_EQ(Bytes(bulk.begin(), bulk.begin() + in.size()), in);

    if (rng() % 4 == 0 && in.size() > 1) in[1 + rng() % (in.size() - 1)] = 253 + rng() % 3;
    if (rng() % 4 == 0) in.resize(rng() % (in.size() + 1));
    // At the very end of the input (checked paths), and with room after it.
    const std::size_t real = in.size(), room = 5 * n + 40;
    for (std::size_t pad = 0; pad < room; ++pad) in.push_back(static_cast<std::uint8_t>(rng()));
    for (std::size_t padding : {std::size_t{0}, room}) {
      const std::span<const std::uint8_t> input(in.data(), real + padding);
      std::vector<std::uint32_t> one(n);
      PodArray<std::uint32_t> run;
      std::size_t len = 0;
      const std::string want = attempt(input, [&](Reader& r) {
        len = std::min<std::uint64_t>(r.read_len(), n);
        for (std::size_t k = 0; k < len; ++k) one[k] = r.read_u32();
      });
      ASSERT_EQ(
          attempt(input,
                  [&](Reader& r) { r.read_u32s(run, std::min<std::uint64_t>(r.read_len(), n)); }),
          want)
          << "padding " << padding;
      if (want.rfind("ok", 0) == 0) {
        EXPECT_TRUE(std::equal(one.begin(), one.begin() + len, run.begin()));
      }
    }
  }
}

}  // namespace
}  // namespace tessaloom::format
