#include "prefix/matcher/compact_automaton.h"

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "common/fault.h"

namespace tessaloom::prefix::matcher {

using common::InternalFault;

namespace {

// A state's key: cells packed 3 bits each (values 0..4 for k <= 3), then
// the swap flags one bit each.
std::uint32_t pack(const std::uint8_t* cells, std::uint32_t flags, std::uint32_t width) {
  std::uint32_t key = 0;
  for (std::uint32_t i = 0; i < width; ++i) key |= std::uint32_t{cells[i]} << (3 * i);
  return key | flags << (3 * width);
}

CompactAutomaton build(std::uint32_t k, bool transpositions) {
  CompactAutomaton a;
  a.k = k;
  a.transpositions = transpositions;
  a.width = 2 * k + 1;
  a.mask_count = 1u << a.width;
  const std::uint8_t cap = static_cast<std::uint8_t>(k + 1);
  std::unordered_map<std::uint32_t, std::uint16_t> ids;
  std::vector<std::uint32_t> flags_of;  // per state
  auto intern = [&](const std::uint8_t* cells, std::uint32_t flags) -> std::uint16_t {
    const auto [it, added] =
        ids.emplace(pack(cells, flags, a.width), static_cast<std::uint16_t>(a.state_count()));
    if (added) {
      if (a.state_count() >= 0xFFFF) throw InternalFault("compact automaton: too many states");
      a.cells.insert(a.cells.end(), cells, cells + a.width);
      flags_of.push_back(flags);
    }
    return it->second;
  };

  std::vector<std::uint8_t> band(a.width, cap);
  intern(band.data(), 0);  // the dead state is number 0
  for (std::uint32_t i = k; i < a.width; ++i) band[i] = static_cast<std::uint8_t>(i - k);
  a.start = intern(band.data(), 0);

  // Breadth-first over reachable states; a.cells grows while it is scanned.
  std::vector<std::uint8_t> prev(a.width), cur(a.width);
  for (std::size_t s = 0; s < a.state_count(); ++s) {
    std::copy_n(a.cells.begin() + s * a.width, a.width, prev.begin());
    const std::uint32_t flags = flags_of[s];
    for (std::uint32_t mask = 0; mask < a.mask_count; ++mask) {
      // cur[i] is column d+1-k+i: diagonal from prev[i] (query character
      // d-k+i against the label, bit i), vertical from prev[i+1], horizontal
      // from cur[i-1], and a swap completed by a label equal to character
      // d-k+i-1 (bit i-1) where flag i is set.
      std::uint32_t next_flags = 0;
      for (std::uint32_t i = 0; i < a.width; ++i) {
        int v = prev[i] + ((mask >> i) & 1 ? 0 : 1);
        if (i + 1 < a.width) v = std::min(v, prev[i + 1] + 1);
        if (i > 0) v = std::min(v, cur[i - 1] + 1);
        if (i > 0 && (flags >> i) & 1 && (mask >> (i - 1)) & 1) v = std::min<int>(v, prev[i]);
        cur[i] = static_cast<std::uint8_t>(std::min<int>(v, cap));
        if (transpositions && (mask >> (i + 1)) & 1 && cur[i] < cap && prev[i] + 1 == cur[i]) {
          next_flags |= 1u << i;
        }
      }
      a.next.push_back(intern(cur.data(), next_flags));
    }
  }
  // With no edit left, only a step at no cost keeps a cell at k: the
  // diagonal of a cell at k, by a label equal to its character (bit i), or
  // the swap completed at a flagged cell i by bit i-1. The swaps add no
  // bit: cell i-1 of a band is at most cell i-1 of the row above plus one
  // (a deletion), which a flagged cell i equals, so cell i-1 is at k too.
  a.tight.assign(a.state_count(), 0);
  for (std::size_t s = 1; s < a.state_count(); ++s) {
    const std::uint8_t* const c = &a.cells[s * a.width];
    if (*std::min_element(c, c + a.width) < k) continue;
    std::uint8_t bits = 0;
    for (std::uint32_t i = 0; i < a.width; ++i) {
      if (c[i] == k) bits |= static_cast<std::uint8_t>(1u << i);
    }
    a.tight[s] = bits;
  }
  return a;
}

}  // namespace

const CompactAutomaton& compact_automaton(std::uint32_t k, bool transpositions) {
  if (k > CompactAutomaton::kMaxK)
    throw InternalFault("compact automaton: distance above its maximum");
  constexpr std::size_t kCount = 2 * (CompactAutomaton::kMaxK + 1);
  static std::array<std::once_flag, kCount> once;
  static std::array<std::unique_ptr<CompactAutomaton>, kCount> built;
  const std::size_t at = 2 * k + transpositions;
  std::call_once(once[at], [k, transpositions, at] {
    built[at] = std::make_unique<CompactAutomaton>(build(k, transpositions));
  });
  return *built[at];
}

}  // namespace tessaloom::prefix::matcher
