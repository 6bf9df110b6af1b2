// Payload merging and propagation up the trie where the construct fuzzer
// (random arrays against a reference merge) cannot reach; loading payloads
// against the plain reference reader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <memory>
#include <sstream>

#include "common/fault.h"
#include "helpers.h"
#include "builder/propagate.h"
#include "reference_payloads.h"

namespace tessaloom::payload {

using common::InternalFault;
using prefix::trie::Trie;

namespace {

using Opt = std::optional<Payload>;
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();

// Payloads as text: "total:id*count,id*count", "-" when absent, an id
// without "*count" has no count, and M stands for 2^32-1.
Opt parse(const std::string& s) {
  if (s == "-") return std::nullopt;
  const char* c = s.c_str();
  auto number = [&] {
    if (*c == 'M') return ++c, kMax;
    char* end;
    const auto v = static_cast<std::uint32_t>(std::strtoul(c, &end, 10));
    c = end;
    return v;
  };
  Payload p{number(), {}, {}};
  while (*c && c[1]) {
    const char sep = *c++;
    (sep == '*' ? p.video_counts : p.video_ids).push_back(number());
  }
  return p;
}
std::string text(const Opt& p) {
  if (!p) return "-";
  auto number = [](std::uint32_t v) { return v == kMax ? std::string("M") : std::to_string(v); };
  std::string out = number(p->total_count) + ":";
  for (std::size_t i = 0; i < p->video_ids.size(); ++i)
    out += (i ? "," : "") + number(p->video_ids[i]) +
           (i < p->video_counts.size() ? "*" + number(p->video_counts[i]) : "");
  return out;
}
std::vector<Opt> parse_all(const std::string& s) {
  std::vector<Opt> out;
  std::istringstream in(s);
  for (std::string word; in >> word;) out.push_back(parse(word));
  return out;
}

// Merging payloads whose ids and counts differ in length, which only a
// restored index holds (the rest of merging is the construct fuzzer's).
TEST(PayloadMerge, ShortCountsFaultAndChangeNothing) {
  for (const auto& [self, other] :
       {std::pair{"1:1*3,2*4", "0:5*1,6"}, std::pair{"1:1*3,2", "0:"}}) {
    Payload p = *parse(self);
    EXPECT_THROW(p.merge_from(parse(other)->view()), InternalFault) << self;
    EXPECT_EQ(text(p), self);
  }
}

TEST(EntryEnds, OffsetsPastFourBillionKeepTheirHighBits) {
  const std::uint64_t g = std::uint64_t{1} << 32;
  const std::uint64_t values[] = {0, 5, g - 1, g, g + 3, g + 3, 3 * g + 1, 3 * g + 1, 7 * g};
  EntryEnds pushed, set;
  set.resize_for_overwrite(std::size(values));
  for (std::size_t i = 0; i < std::size(values); ++i)
    pushed.push_back(values[i]), set.set(i, values[i]);
  for (std::size_t i = 0; i < std::size(values); ++i)
    EXPECT_TRUE(pushed[i] == values[i] && set[i] == values[i]) << i;
}

Trie make_trie(std::vector<std::uint32_t> shifts, std::vector<std::uint32_t> transitions,
               const std::vector<Opt>& payloads) {
  Trie t;
  t.node_shifts = std::move(shifts);
  t.child_transitions = std::move(transitions);
  t.child_labels.assign(payloads.size(), U'x');
  t.terminal.assign(payloads.size(), 0);
  test::set_payloads(t, payloads);
  return t;
}

std::string join(const std::vector<Opt>& ps) {
  std::string out;
  for (const Opt& p : ps) out += (out.empty() ? "" : " ") + text(p);
  return out;
}

// The payloads after propagating, or "fault" (and then nothing changed).
std::string propagate(Trie t, std::size_t top_n) {
  const Trie before = t;
  try {
    t.payloads = builder::propagate(t, test::payload_table(test::payloads_of(t)), top_n);
  } catch (const InternalFault&) {
    EXPECT_EQ(t, before);
    return "fault";
  }
  return join(test::payloads_of(t));
}

// Sums, saturation, cuts and odd shapes are the construct fuzzer's (against
// a reference merge); here a fault, which changes nothing, and a chain too
// deep for recursion.
TEST(Propagate, FaultAndDeepChain) {
  EXPECT_EQ(propagate(make_trie({0, 5}, {1}, parse_all("- 1:1*1")), 10), "fault");
  // A chain of a million nodes: no recursion.
  std::vector<std::uint32_t> shifts(1'000'000);
  for (std::size_t i = 0; i < shifts.size(); ++i) shifts[i] = static_cast<std::uint32_t>(i);
  std::vector<Opt> supplied(shifts.size());
  supplied.back() = parse("3:5*2");
  Trie t = make_trie(shifts, {shifts.begin() + 1, shifts.end()}, supplied);
  t.payloads = builder::propagate(t, test::payload_table(supplied), 5);
  EXPECT_EQ(text(*t.payloads.payload(0)), "3:5*2");
}

// Encoded payload vectors in every form the reader accepts (longer forms,
// 8-byte lengths, payloads large and small around the scan's block and
// refill sizes), then corrupted or cut: the bulk scan must load exactly what
// reading value by value loads, or fail with the same error at the same
// place, and keep the shortest form.
TEST(EncodedPayloads, BulkScanAgreesWithReadingValueByValue) {
  std::mt19937 rng(777);
  auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE(round);
    // Without wide values, every value is in the 1- or 3-byte form.
    const bool long_forms = pick(4) == 0, wide = pick(2) == 0;
    Bytes in;
    auto put = [&](std::uint64_t v, bool is_len) {
      std::size_t form = v <= 250 ? 0 : v <= 0xFFFF ? 1 : v <= kMax ? 2 : 3;
      if (long_forms && pick(wide ? 8 : 64) == 0)
        form = std::min<std::size_t>(form + 1 + pick(2), !wide ? 1 : is_len ? 3 : 2);
      if (form == 0) return in.push_back(static_cast<std::uint8_t>(v));
      const std::size_t width = std::size_t{1} << form;
      in.push_back(static_cast<std::uint8_t>(250 + form));
      for (std::size_t b = 0; b < width; ++b) in.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
    };
    auto value = [&]() -> std::uint32_t {
      switch (pick(6)) {
        case 0:
          return pick(0xFFFF);
        case 1:
          return wide ? static_cast<std::uint32_t>(rng()) : pick(0xFFFF);
        default:
          return pick(400);
      }
    };
    const std::size_t n = pick(3) == 0 ? pick(4000) : pick(300);
    const std::size_t big = pick(5) == 0 ? pick(3000) : 0;  // one long payload
    put(n, true);
    for (std::size_t i = 0; i < n; ++i) {
      if (pick(5) == 0) {
        in.push_back(0);
        continue;
      }
      in.push_back(1);
      put(value(), false);
      const std::size_t ids = i == n / 2 ? big : pick(8) == 0 ? pick(120) : pick(6);
      const std::size_t counts = pick(50) == 0 ? pick(8) : ids;
      put(ids, true);
      for (std::size_t k = 0; k < ids; ++k) put(value(), false);
      put(counts, true);
      for (std::size_t k = 0; k < counts; ++k) put(pick(10) == 0 ? value() : pick(20), false);
    }
    for (std::size_t k = pick(100); k > 0; --k) in.push_back(static_cast<std::uint8_t>(rng()));
    if (pick(3) == 0 && !in.empty())
      in[pick(in.size())] = static_cast<std::uint8_t>(pick(3) ? 250 + pick(6) : rng());
    if (pick(4) == 0) in.resize(pick(in.size() + 1));

    format::Reader a(in), b(in);
    std::optional<EncodedPayloads> got;
    std::optional<std::vector<Opt>> want;
    std::string got_error, want_error;
    try {
      got = EncodedPayloads::decode(a, pick(2) ? std::make_shared<int>(0) : nullptr);
    } catch (const format::DecodeError& e) {
      got_error = e.text();
    }
    try {
      want = test::read_payloads(b);
    } catch (const format::DecodeError& e) {
      want_error = e.text();
    }
    ASSERT_EQ(got_error, want_error);
    if (!want) continue;
    ASSERT_EQ(a.position(), b.position());
    ASSERT_EQ(got->size(), want->size());
    std::size_t shortest = format::varint_size(want->size());
    for (std::size_t i = 0; i < want->size(); ++i) {
      ASSERT_EQ(got->payload(i), (*want)[i]) << i;
      if (const Opt& p = (*want)[i])
        shortest += format::u32_size(p->total_count) + format::u32s_size(p->video_ids) +
                    format::u32s_size(p->video_counts);
      shortest += 1;
    }
    ASSERT_EQ(got->encoded_size(), shortest);
    // Pooling reads each payload's pairs one by one or as whole lists (one
    // byte per count when every count fits one, else decoded counts): the
    // same first min(ids, counts) pairs in stored order either way.
    std::vector<std::uint32_t> scratch;
    for (std::size_t i = 0; i < want->size(); ++i) {
      const Opt& p = (*want)[i];
      std::vector<std::pair<std::uint32_t, std::uint32_t>> expected, one, lists;
      if (p) {
        for (std::size_t k = 0; k < std::min(p->video_ids.size(), p->video_counts.size()); ++k)
          expected.emplace_back(p->video_ids[k], p->video_counts[k]);
      }
      std::uint64_t checked_ids = 0;
      auto check = [&](std::uint32_t, std::uint64_t ids, std::uint64_t) { checked_ids = ids; };
      EXPECT_EQ(
          got->for_each_pair(i, scratch, check,
                             [&](std::uint32_t v, std::uint32_t c) { one.emplace_back(v, c); }),
          p.has_value());
      struct Lists {
        std::vector<std::pair<std::uint32_t, std::uint32_t>>& out;
        void operator()(std::uint32_t v, std::uint32_t c) const { out.emplace_back(v, c); }
        void operator()(const std::uint32_t* ids, const std::uint8_t* counts,
                        std::uint64_t n) const {
          for (std::uint64_t k = 0; k < n; ++k) out.emplace_back(ids[k], counts[k]);
        }
        void operator()(const std::uint32_t* ids, const std::uint32_t* counts,
                        std::uint64_t n) const {
          for (std::uint64_t k = 0; k < n; ++k) out.emplace_back(ids[k], counts[k]);
        }
      };
      got->for_each_pair(i, scratch, check, Lists{lists});
      ASSERT_EQ(one, expected) << i;
      ASSERT_EQ(lists, expected) << i;
      if (p) {
        ASSERT_EQ(checked_ids, p->video_ids.size());
      }
    }
  }
}

}  // namespace
}  // namespace tessaloom::payload
