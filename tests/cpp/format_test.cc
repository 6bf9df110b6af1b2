// The byte format's building blocks: shortest forms on writing, longer forms
// accepted on reading, and every refusal with its exact text.
#include "format/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <array>
#include <functional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "common/fault.h"

namespace tessaloom::format {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <class F>
Bytes written(std::size_t size, F&& f) {
  Bytes out(size);
  Writer w(out);
  f(w);
  EXPECT_EQ(w.remaining(), 0u) << "size counted and bytes written differ";
  return out;
}

// Runs a read on `in`; the error's text, or "ok:<value>" with the bytes
// left.
template <class F>
std::string outcome(const Bytes& in, F&& read) {
  Reader r(in);
  try {
    const auto v = read(r);
    return "ok:" + std::to_string(v) + " left " + std::to_string(r.remaining());
  } catch (const DecodeError& e) {
    return e.text();
  }
}

TEST(Varint, WritesTheShortestForm) {
  struct Case {
    std::uint64_t value;
    Bytes bytes;
  } cases[] = {
      {0, {0x00}},
      {250, {0xFA}},
      {251, {0xFB, 0xFB, 0x00}},
      {300, {0xFB, 0x2C, 0x01}},
      {65535, {0xFB, 0xFF, 0xFF}},
      {65536, {0xFC, 0x00, 0x00, 0x01, 0x00}},
      {70000, {0xFC, 0x70, 0x11, 0x01, 0x00}},
      {0xFFFFFFFF, {0xFC, 0xFF, 0xFF, 0xFF, 0xFF}},
      {0x100000000, {0xFD, 0, 0, 0, 0, 1, 0, 0, 0}},
      {~std::uint64_t{0}, {0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(varint_size(c.value), c.bytes.size());
    EXPECT_EQ(written(c.bytes.size(), [&](Writer& w) { w.write_len(c.value); }),
              c.bytes);
    EXPECT_EQ(outcome(c.bytes, [](Reader& r) { return r.read_len(); }),
              "ok:" + std::to_string(c.value) + " left 0");
    if (c.value <= 0xFFFFFFFF) {
      const auto v = static_cast<std::uint32_t>(c.value);
      EXPECT_EQ(u32_size(v), c.bytes.size());
      // The u32 writer takes a one-store path with 8 bytes of room and a
      // careful one at the end of the buffer: both must agree.
      Bytes roomy(c.bytes.size() + 8);
      Writer w(roomy);
      w.write_u32(v);
      EXPECT_EQ(Bytes(roomy.begin(), roomy.begin() + c.bytes.size()), c.bytes);
      EXPECT_EQ(w.remaining(), 8u);
      EXPECT_EQ(written(c.bytes.size(), [&](Writer& w) { w.write_u32(v); }),
                c.bytes);
      EXPECT_EQ(outcome(c.bytes, [](Reader& r) { return r.read_u32(); }),
                "ok:" + std::to_string(c.value) + " left 0");
    }
  }
}

TEST(Varint, ReadsLongerFormsAndStopsAtTheValue) {
  struct Case {
    Bytes bytes;
    std::uint64_t value;
  } cases[] = {
      {{0xFB, 0x05, 0x00}, 5},
      {{0xFB, 0x01, 0x00}, 1},
      {{0xFC, 0x2C, 0x01, 0x00, 0x00}, 300},
      {{0xFC, 0x00, 0x00, 0x00, 0x00, 0x07}, 0},  // a byte after: left alone
  };
  for (const auto& c : cases) {
    const std::string left = " left " + std::to_string(c.bytes.size() == 6);
    EXPECT_EQ(outcome(c.bytes, [](Reader& r) { return r.read_u32(); }),
              "ok:" + std::to_string(c.value) + left);
    EXPECT_EQ(outcome(c.bytes, [](Reader& r) { return r.read_len(); }),
              "ok:" + std::to_string(c.value) + left);
  }
  EXPECT_EQ(outcome({0xFD, 1, 0, 0, 0, 0, 0, 0, 0}, [](Reader& r) { return r.read_len(); }),
            "ok:1 left 0");
}

// Every refusal of a single read, with its text and count.
TEST(Reader, RefusalsTable) {
  using Read = std::function<std::uint64_t(Reader&)>;
  const Read u32 = [](Reader& r) { return r.read_u32(); };
  const Read len = [](Reader& r) { return r.read_len(); };
  const Read chr = [](Reader& r) { return r.read_char(); };
  const Read boolean = [](Reader& r) { return r.read_bool(); };
  const Read tag = [](Reader& r) { return r.read_option_tag(kOptionPayloadTypeName); };
  const Read mode = [](Reader& r) { return r.read_variant(kIdModeTypeName); };
  const std::string option_variant =
      "UnexpectedVariant { type_name: \"core::option::Option<tessaloom::payload::"
      "Payload>\", allowed: Range { min: 0, max: 1 }, found: ";
  const std::string mode_variant =
      "UnexpectedVariant { type_name: \"IdMode\", allowed: Range { min: 0, max: 1 }, found: ";
  struct Case {
    const char* name;
    Read read;
    Bytes in;
    std::string text;
  } cases[] = {
      {"u32 empty", u32, {}, "UnexpectedEnd { additional: 1 }"},
      {"u32 251 bare", u32, {0xFB}, "UnexpectedEnd { additional: 2 }"},
      {"u32 251 one short", u32, {0xFB, 1}, "UnexpectedEnd { additional: 1 }"},
      {"u32 252 two short", u32, {0xFC, 1, 2}, "UnexpectedEnd { additional: 2 }"},
      {"u32 252 bare", u32, {0xFC}, "UnexpectedEnd { additional: 4 }"},
      {"u32 253 refused before its bytes", u32, {0xFD},
       "InvalidIntegerType { expected: U32, found: U64 }"},
      {"u32 253 with bytes", u32, {0xFD, 1, 0, 0, 0, 0, 0, 0, 0},
       "InvalidIntegerType { expected: U32, found: U64 }"},
      {"u32 254", u32, {0xFE}, "InvalidIntegerType { expected: U32, found: U128 }"},
      {"u32 255", u32, {0xFF, 0, 0, 0, 0, 0, 0, 0, 0},
       "InvalidIntegerType { expected: U32, found: Reserved }"},
      {"len empty", len, {}, "UnexpectedEnd { additional: 1 }"},
      {"len 251 bare", len, {0xFB}, "UnexpectedEnd { additional: 2 }"},
      {"len 252 one short", len, {0xFC, 1, 2, 3}, "UnexpectedEnd { additional: 1 }"},
      {"len 253 bare", len, {0xFD}, "UnexpectedEnd { additional: 8 }"},
      {"len 253 three short", len, {0xFD, 1, 2, 3, 4, 5}, "UnexpectedEnd { additional: 3 }"},
      {"len 254", len, {0xFE}, "InvalidIntegerType { expected: U64, found: U128 }"},
      {"len 255", len, {0xFF}, "InvalidIntegerType { expected: U64, found: Reserved }"},
      {"char empty", chr, {}, "UnexpectedEnd { additional: 1 }"},
      {"char continuation first", chr, {0x80, 0x80}, "InvalidCharEncoding([128, 0, 0, 0])"},
      {"char C0 first", chr, {0xC0, 0x80}, "InvalidCharEncoding([192, 0, 0, 0])"},
      {"char C1 first", chr, {0xC1}, "InvalidCharEncoding([193, 0, 0, 0])"},
      {"char F5 first", chr, {0xF5, 0x80, 0x80, 0x80}, "InvalidCharEncoding([245, 0, 0, 0])"},
      {"char FF first", chr, {0xFF}, "InvalidCharEncoding([255, 0, 0, 0])"},
      {"char 2-byte cut", chr, {0xC3}, "UnexpectedEnd { additional: 1 }"},
      {"char 3-byte cut by 2", chr, {0xE2}, "UnexpectedEnd { additional: 2 }"},
      {"char 4-byte cut by 1", chr, {0xF0, 0x9F, 0x98}, "UnexpectedEnd { additional: 1 }"},
      {"char bad continuation", chr, {0xC3, 0x41}, "InvalidCharEncoding([195, 65, 0, 0])"},
      {"char surrogate", chr, {0xED, 0xA0, 0x80}, "InvalidCharEncoding([237, 160, 128, 0])"},
      {"char overlong 3", chr, {0xE0, 0x9F, 0xBF}, "InvalidCharEncoding([224, 159, 191, 0])"},
      {"char overlong 4", chr, {0xF0, 0x8F, 0xBF, 0xBF},
       "InvalidCharEncoding([240, 143, 191, 191])"},
      {"char past 10FFFF", chr, {0xF4, 0x90, 0x80, 0x80},
       "InvalidCharEncoding([244, 144, 128, 128])"},
      {"char bad third byte", chr, {0xE2, 0x82, 0x41}, "InvalidCharEncoding([226, 130, 65, 0])"},
      {"char bad fourth byte", chr, {0xF0, 0x9F, 0x98, 0xC0},
       "InvalidCharEncoding([240, 159, 152, 192])"},
      {"bool empty", boolean, {}, "UnexpectedEnd { additional: 1 }"},
      {"bool 2", boolean, {2}, "InvalidBooleanValue(2)"},
      {"bool 255", boolean, {255}, "InvalidBooleanValue(255)"},
      {"tag empty", tag, {}, "UnexpectedEnd { additional: 1 }"},
      {"tag 2", tag, {2}, option_variant + "2 }"},
      // A tag is a plain byte, not a varint.
      {"tag 251", tag, {0xFB, 0, 0}, option_variant + "251 }"},
      {"mode empty", mode, {}, "UnexpectedEnd { additional: 1 }"},
      {"mode 2", mode, {2}, mode_variant + "2 }"},
      {"mode in long form", mode, {0xFC, 0xFF, 0xFF, 0xFF, 0xFF}, mode_variant + "4294967295 }"},
      {"mode 253", mode, {0xFD}, "InvalidIntegerType { expected: U32, found: U64 }"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(outcome(c.in, c.read), c.text);
    // The same read with plenty of input after it does not change a
    // refusal of the bytes themselves (only the end conditions move).
    if (c.text.rfind("UnexpectedEnd", 0) != 0) {
      Bytes padded = c.in;
      padded.resize(c.in.size() + 16, 0x00);
      EXPECT_EQ(outcome(padded, c.read), c.text);
    }
  }
}

TEST(Chars, EveryWidthRoundTripsAtItsBoundaries) {
  const char32_t chars[] = {0x0,    0x41,   0x7F,    0x80,    0x7FF,    0x800,
                            0xD7FF, 0xE000, 0xFFFD,  0xFFFF,  0x10000,  0x1F600,
                            0x10FFFF};
  for (char32_t c : chars) {
    SCOPED_TRACE(static_cast<std::uint32_t>(c));
    const std::vector<char32_t> one = {c};
    const Bytes bytes =
        written(chars_size(one), [&](Writer& w) { w.write_chars(one); });
    EXPECT_EQ(bytes.size(), 1 + char_size(c));
    Reader r(bytes);
    std::vector<char32_t> back;
    r.read_chars(back, r.read_len());
    EXPECT_EQ(back, one);
    EXPECT_EQ(r.remaining(), 0u);
  }
  EXPECT_EQ(written(3, [](Writer& w) { w.write_char(0x20AC); }),
            (Bytes{0xE2, 0x82, 0xAC}));
}

TEST(Chars, ANonScalarLabelHasNoEncoding) {
  for (char32_t c : {char32_t{0xD800}, char32_t{0xDFFF}, char32_t{0x110000}}) {
    const std::vector<char32_t> labels = {U'a', c};
    EXPECT_THROW(chars_size(labels), InternalFault);
  }
}

// The bulk readers report the same failure at the same element as reading
// element after element would.
TEST(Reader, BulkReadsFailAtTheFirstBadElement) {
  struct Case {
    const char* name;
    Bytes in;
    std::uint64_t n;
    std::string text;
  };
  const Case u32s[] = {
      {"cut 5-byte form at the end", {1, 2, 0xFC, 9, 9}, 3, "UnexpectedEnd { additional: 2 }"},
      {"refused marker mid-run", {1, 2, 3, 4, 5, 6, 7, 8, 9, 0xFD, 1, 1, 1, 1, 1, 1, 1, 1}, 12,
       "InvalidIntegerType { expected: U32, found: U64 }"},
      {"more declared than held", {1, 2, 3}, 4, "UnexpectedEnd { additional: 1 }"},
      {"huge count", {1, 2, 3}, std::uint64_t{1} << 60, "UnexpectedEnd { additional: 1 }"},
  };
  for (const auto& c : u32s) {
    SCOPED_TRACE(c.name);
    Reader r(c.in);
    std::vector<std::uint32_t> out;
    try {
      r.read_u32s(out, c.n);
      ADD_FAILURE() << "read succeeded";
    } catch (const DecodeError& e) {
      EXPECT_EQ(e.text(), c.text);
    }
  }
  const Case bools[] = {
      {"bad byte before the end", {1, 0, 7, 1}, 9, "InvalidBooleanValue(7)"},
      {"all good but short", {1, 0, 1}, 4, "UnexpectedEnd { additional: 1 }"},
  };
  for (const auto& c : bools) {
    SCOPED_TRACE(c.name);
    Reader r(c.in);
    std::vector<std::uint8_t> out;
    try {
      r.read_bools(out, c.n);
      ADD_FAILURE() << "read succeeded";
    } catch (const DecodeError& e) {
      EXPECT_EQ(e.text(), c.text);
    }
  }
  const Case ids[] = {
      {"one id, 10 bytes", Bytes(10, 0xAB), 1, "UnexpectedEnd { additional: 6 }"},
      {"two ids, 16 bytes", Bytes(16, 0xAB), 2, "UnexpectedEnd { additional: 16 }"},
      {"huge count, 20 bytes", Bytes(20, 0xAB), std::uint64_t{1} << 60,
       "UnexpectedEnd { additional: 12 }"},
  };
  for (const auto& c : ids) {
    SCOPED_TRACE(c.name);
    Reader r(c.in);
    std::vector<Id16> out;
    try {
      r.read_id16s(out, c.n);
      ADD_FAILURE() << "read succeeded";
    } catch (const DecodeError& e) {
      EXPECT_EQ(e.text(), c.text);
    }
  }
}

TEST(Reader, ReservesNoMoreThanTheInputCanFill) {
  const Bytes in(12, 1);
  Reader r(in);
  EXPECT_EQ(r.reservable(std::uint64_t{1} << 60), 12u);
  EXPECT_EQ(r.reservable(5), 5u);
  EXPECT_EQ(r.reservable(std::uint64_t{1} << 60, 16), 0u);
}

// The block paths of bulk reading and writing (runs of one-byte values,
// checks hoisted per vector) against one value at a time, on runs of every
// length, mixes of forms, refused markers and inputs cut anywhere.
TEST(BulkU32, BlockPathsMatchOneValueAtATime) {
  std::mt19937_64 rng(7);
  auto value = [&](int small_percent) -> std::uint32_t {
    if (static_cast<int>(rng() % 100) < small_percent) return rng() % 251;
    return rng() % 2 ? 251 + rng() % (65536 - 251) : static_cast<std::uint32_t>(rng());
  };
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE(round);
    const std::size_t n = rng() % (round % 10 == 0 ? 200 : 40);
    std::vector<std::uint32_t> values(n + 4);  // readable past n, like a table
    const int small = std::array{100, 99, 90, 50, 0}[rng() % 5];
    for (auto& v : values) v = value(small);

    // Writing: as a whole and one by one, into buffers of the exact size.
    const std::span<const std::uint32_t> vec(values.data(), n);
    const std::size_t size = u32s_size(vec) + (rng() % 2 ? rng() % 3 : 40);
    Bytes bulk(size, 0xEE), single(size, 0xEE);
    Writer wb(bulk), ws(single);
    wb.write_u32s(vec, values.size());
    ws.write_len(n);
    for (std::uint32_t v : vec) ws.write_u32(v);
    ASSERT_EQ(wb.remaining(), ws.remaining());
    ASSERT_EQ(Bytes(bulk.begin(), bulk.end() - wb.remaining()),
              Bytes(single.begin(), single.end() - ws.remaining()));

    // Reading back, possibly spoilt by a refused marker or cut short.
    Bytes in(single.begin(), single.end() - ws.remaining());
    if (rng() % 4 == 0 && in.size() > 1) in[1 + rng() % (in.size() - 1)] = 253 + rng() % 3;
    if (rng() % 4 == 0) in.resize(rng() % (in.size() + 1));
    // Read at the very end of the input (checked paths), and with enough
    // after it that every check can be hoisted.
    const std::size_t real = in.size(), room = 5 * n + 40;
    for (std::size_t pad = 0; pad < room; ++pad) in.push_back(static_cast<std::uint8_t>(rng()));
    for (std::size_t padding : {std::size_t{0}, room}) {
      const std::span<const std::uint8_t> input(in.data(), real + padding);
      std::string want, got;
      std::vector<std::uint32_t> one(n), run(n + Reader::kRunSlack);
      std::size_t left_one = 0, left_run = 0, read = 0;
      {
        Reader r(input);
        try {
          read = std::min<std::uint64_t>(r.read_len(), n);
          for (std::size_t k = 0; k < read; ++k) one[k] = r.read_u32();
          want = "ok";
        } catch (const DecodeError& e) {
          want = e.text();
        }
        left_one = r.remaining();
      }
      {
        Reader r(input);
        try {
          const std::uint64_t len = std::min<std::uint64_t>(r.read_len(), n);
          const std::size_t fit = r.reservable(len);
          r.read_u32_run(run.data(), fit);
          if (fit < len) r.read_u32();
          got = "ok";
        } catch (const DecodeError& e) {
          got = e.text();
        }
        left_run = r.remaining();
      }
      ASSERT_EQ(got, want) << "padding " << padding;
      if (want == "ok") {
        EXPECT_EQ(left_run, left_one);
        EXPECT_TRUE(std::equal(one.begin(), one.begin() + read, run.begin()));
      }
    }
  }
}

}  // namespace
}  // namespace tessaloom::format
