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

// Cells are packed 3 bits each (values 0..4 for k <= 3) into one key.
std::uint32_t pack(const std::uint8_t* cells, std::uint32_t width) {
  std::uint32_t key = 0;
  for (std::uint32_t i = 0; i < width; ++i) key |= std::uint32_t{cells[i]} << (3 * i);
  return key;
}

CompactAutomaton build(std::uint32_t k) {
  CompactAutomaton a;
  a.k = k;
  a.width = 2 * k + 1;
  a.mask_count = 1u << a.width;
  const std::uint8_t cap = static_cast<std::uint8_t>(k + 1);
  std::unordered_map<std::uint32_t, std::uint16_t> ids;
  auto intern = [&](const std::uint8_t* cells) -> std::uint16_t {
    const std::uint32_t key = pack(cells, a.width);
    const auto [it, added] = ids.emplace(key, static_cast<std::uint16_t>(a.state_count()));
    if (added) {
      if (a.state_count() >= 0xFFFF) throw InternalFault("compact automaton: too many states");
      a.cells.insert(a.cells.end(), cells, cells + a.width);
    }
    return it->second;
  };

  std::vector<std::uint8_t> band(a.width, cap);
  intern(band.data());  // the dead state is number 0
  for (std::uint32_t i = k; i < a.width; ++i) band[i] = static_cast<std::uint8_t>(i - k);
  a.start = intern(band.data());

  // Breadth-first over reachable bands; a.cells grows while it is scanned.
  std::vector<std::uint8_t> prev(a.width), cur(a.width);
  for (std::size_t s = 0; s < a.state_count(); ++s) {
    std::copy_n(a.cells.begin() + s * a.width, a.width, prev.begin());
    for (std::uint32_t mask = 0; mask < a.mask_count; ++mask) {
      // cur[i] is column d+1-k+i: diagonal from prev[i] (query character
      // d-k+i against the label, bit i), vertical from prev[i+1], horizontal
      // from cur[i-1].
      for (std::uint32_t i = 0; i < a.width; ++i) {
        int v = prev[i] + ((mask >> i) & 1 ? 0 : 1);
        if (i + 1 < a.width) v = std::min(v, prev[i + 1] + 1);
        if (i > 0) v = std::min(v, cur[i - 1] + 1);
        cur[i] = static_cast<std::uint8_t>(std::min<int>(v, cap));
      }
      a.next.push_back(intern(cur.data()));
    }
  }
  a.tight.assign(a.state_count(), 0);
  for (std::size_t s = 1; s < a.state_count(); ++s) {
    std::uint8_t bits = 0;
    bool edit_left = false;
    for (std::uint32_t i = 0; i < a.width; ++i) {
      const std::uint8_t c = a.cells[s * a.width + i];
      edit_left |= c < k;
      if (c == k) bits |= static_cast<std::uint8_t>(1u << i);
    }
    a.tight[s] = edit_left ? 0 : bits;
  }
  return a;
}

}  // namespace

const CompactAutomaton& compact_automaton(std::uint32_t k) {
  if (k > CompactAutomaton::kMaxK)
    throw InternalFault("compact automaton: distance above its maximum");
  static std::array<std::once_flag, CompactAutomaton::kMaxK + 1> once;
  static std::array<std::unique_ptr<CompactAutomaton>, CompactAutomaton::kMaxK + 1> built;
  std::call_once(once[k], [k] { built[k] = std::make_unique<CompactAutomaton>(build(k)); });
  return *built[k];
}

}  // namespace tessaloom::prefix::matcher
