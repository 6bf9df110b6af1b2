// Fuzz target: construction from arrays (index/construct.h), the path of
// from_internal_data_v2, with its checks, propagation and merging.
//
// The input is read as small random arrays: a few dozen nodes, shifts and
// edges mostly in order but not always, payloads with a handful of video
// numbers and counts that are small, near 2^31 or near 2^32-1, video ids of 4,
// 16 or other lengths, and video_top_n of 0, 1, 2, 3, a byte or 2^64-1. Each
// array is sometimes one element off. Construction must refuse exactly where
// the first check fails, stop with InternalFault exactly when an edge range
// runs past the edge count, and otherwise leave every node with the payload
// that a slow reference merge gives: each node, from the highest number
// down, folds in its children one at a time (a child numbered above it
// finished, one below as supplied, self edges skipped), sums saturating at
// 2^32-1 and ordered by count, ties by ascending video number, then keeps
// its first video_top_n entries.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/fault.h"
#include "index/construct.h"

namespace {

using tessaloom::payload::Payload;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "construct_fuzz: %s\n", what);
  std::abort();
}

// Bytes of the input, then zeros.
struct Source {
  const std::uint8_t* p;
  const std::uint8_t* end;
  std::uint8_t byte() { return p < end ? *p++ : 0; }
  // A count: small, near 2^31 or near 2^32-1.
  std::uint32_t count() {
    const std::uint8_t b = byte();
    return b % 3 == 0 ? b / 3 % 8 : (b % 3 == 1 ? 0x80000000u : 0xFFFFFFFFu) - b / 3 % 8;
  }
  // A length near `n`, off by one now and then.
  std::size_t near(std::size_t n) {
    const std::uint8_t b = byte();
    return b == 0xFF ? n + 1 : b == 0xFE && n > 0 ? n - 1 : n;
  }
};

struct Arrays {
  tessaloom::index::Construction::Shifts shifts;
  tessaloom::index::Construction::Labels labels;
  std::vector<std::optional<Payload>> payloads;
  tessaloom::index::Construction::Transitions transitions;
  std::vector<std::vector<std::uint8_t>> video_index;
  std::uint64_t top_n = 0;
};

Arrays read_arrays(Source& s) {
  Arrays a;
  const std::size_t n = s.byte() % 24;
  const std::size_t edges = s.byte() % 40;
  a.labels.resize(n);
  for (auto& c : a.labels) c = U"\0abc\u00e9"[s.byte() % 5];
  std::uint32_t at = 0;
  a.shifts.resize(s.near(n));
  for (auto& v : a.shifts) {
    const std::uint8_t b = s.byte();
    v = b < 0xF0 ? (at += b % 4) : b % 48;  // mostly ascending
  }
  a.transitions.resize(edges);
  for (auto& t : a.transitions) {
    const std::uint8_t b = s.byte();
    t = b == 0xFF || n == 0 ? static_cast<std::uint32_t>(n + b % 2) : b % n;
  }
  a.payloads.resize(s.near(n));
  for (auto& p : a.payloads) {
    if (s.byte() % 3 == 0) continue;
    p = Payload{s.count(), {}, {}};
    for (std::size_t k = s.byte() % 6; k > 0; --k) {
      p->video_ids.push_back(s.byte() % 8);
      p->video_counts.push_back(s.count());
    }
    if (!p->video_counts.empty() && s.byte() == 0xFF) p->video_counts.pop_back();
  }
  a.video_index.resize(s.byte() % 5);
  const std::uint8_t kind = s.byte();
  for (auto& id : a.video_index) {
    id.resize(kind % 3 == 0 ? 16 : kind % 3 == 1 ? 4 : s.byte() % 20);
    for (auto& b : id) b = s.byte();
  }
  const std::uint8_t t = s.byte();
  a.top_n = t % 6 < 4 ? t % 6 : t % 6 == 4 ? ~std::uint64_t{0} : s.byte();
  return a;
}

// What the checks refuse first, as the start of the message; "fault" when
// propagation meets an edge range past the edge count; empty when it builds.
std::string expected_refusal(const Arrays& a) {
  const std::size_t n = a.labels.size();
  if (a.shifts.size() != n) return "node_shifts len";
  if (a.payloads.size() != n) return "payloads len";
  for (std::uint32_t t : a.transitions) {
    if (t >= n) return "child_transitions[";
  }
  for (const auto& p : a.payloads) {
    if (p && p->video_ids.size() != p->video_counts.size()) return "video_ids and";
  }
  for (const auto& id : a.video_index) {
    if (id.size() != a.video_index[0].size() || (id.size() != 4 && id.size() != 16))
      return "video_index entries";
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t end = i + 1 < n ? a.shifts[i + 1] : a.transitions.size();
    if (end > a.shifts[i] && end > a.transitions.size()) return "fault";
  }
  return "";
}

// `b` merged into `a`: per video the 64-bit sum, ordered by it (largest
// first, ties by ascending video number), stored saturated.
Payload merged(const Payload& a, const Payload& b) {
  std::map<std::uint32_t, std::uint64_t> sums;
  for (const Payload* p : {&a, &b})
    for (std::size_t k = 0; k < p->video_ids.size(); ++k)
      sums[p->video_ids[k]] += p->video_counts[k];
  std::vector<std::pair<std::uint64_t, std::uint32_t>> order;
  for (const auto& [video, sum] : sums) order.push_back({sum, video});
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& x, const auto& y) { return x.first > y.first; });
  Payload out{static_cast<std::uint32_t>(std::min<std::uint64_t>(
                  std::uint64_t{a.total_count} + b.total_count, 0xFFFFFFFFu)),
              {},
              {}};
  for (const auto& [sum, video] : order) {
    out.video_ids.push_back(video);
    out.video_counts.push_back(
        static_cast<std::uint32_t>(std::min<std::uint64_t>(sum, 0xFFFFFFFFu)));
  }
  return out;
}

std::vector<Payload> reference_propagation(const Arrays& a) {
  const std::size_t n = a.labels.size();
  std::vector<Payload> supplied(n), done(n);
  for (std::size_t i = 0; i < n; ++i) supplied[i] = a.payloads[i].value_or(Payload{});
  for (std::size_t i = n; i-- > 0;) {
    const std::size_t begin = a.shifts[i];
    const std::size_t end = i + 1 < n ? a.shifts[i + 1] : a.transitions.size();
    Payload acc = supplied[i];
    for (std::size_t e = begin; e < end; ++e) {
      const std::size_t c = a.transitions[e];
      if (c != i) acc = merged(acc, c > i ? done[c] : supplied[c]);
    }
    if (acc.video_ids.size() > a.top_n) {
      acc.video_ids.resize(a.top_n);
      acc.video_counts.resize(std::min<std::uint64_t>(acc.video_counts.size(), a.top_n));
    }
    done[i] = acc;
  }
  return done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace idx = tessaloom::index;
  Source source{data, data + size};
  const Arrays a = read_arrays(source);
  const std::string expected = expected_refusal(a);
  std::optional<idx::Index> index;
  std::string outcome;
  try {
    idx::Construction c(a.shifts, a.labels, a.payloads.size(), a.transitions);
    for (const auto& p : a.payloads) {
      p ? c.add_payload(p->total_count, p->video_ids, p->video_counts) : c.add_absent_payload();
    }
    index.emplace(std::move(c).finish(a.video_index, a.top_n));
  } catch (const tessaloom::common::InvalidInput& e) {
    outcome = e.what();
  } catch (const tessaloom::common::InternalFault&) {
    outcome = "fault";
  }
  if (outcome.compare(0, expected.size(), expected) != 0 || outcome.empty() != expected.empty()) {
    std::fprintf(stderr, "expected \"%s\", got \"%s\"\n", expected.c_str(), outcome.c_str());
    fail("construction refused differently from its checks");
  }
  if (!index) return 0;

  const tessaloom::prefix::trie::Trie& trie = index->trie();
  const std::vector<Payload> want = reference_propagation(a);
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (trie.payloads.payload(i) != want[i])
      fail("propagated payload differs from the reference merge");
    if (trie.terminal[i] != (a.payloads[i] ? 1 : 0)) fail("terminal flag differs");
  }
  const bool ints = !a.video_index.empty() && a.video_index[0].size() == 4;
  if ((trie.videos.kind() == tessaloom::prefix::trie::IdMode::Int32) != ints ||
      trie.videos.size() != a.video_index.size()) {
    fail("video ids differ");
  }
  return 0;
}
