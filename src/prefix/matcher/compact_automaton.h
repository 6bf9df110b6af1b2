// The compact walk's distance state (compact_walk.h), cheap to advance: the
// cells of one band of the edit-distance table, each capped at k+1, interned
// as a small integer.
//
// Row d's band holds the cells j = d-k .. d+k. Cells left of column 0 are
// k+1, and the query is taken as followed by characters that match nothing,
// so cells right of column n are ordinary recurrence cells (never below the
// row's cell n, hence never below the true row minimum). The next band then
// depends only on the band and on the 2k+1 bits telling which of the query
// characters d-k .. d+k (0-based) equal the new label: one table lookup.
// The table is the same for every query, so it is built once per k.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaloom::prefix::matcher {

struct CompactAutomaton {
  static constexpr std::uint32_t kMaxK = 3;
  // State 0 is the dead band: every cell above k. It only leads to itself.
  static constexpr std::uint16_t kDead = 0;

  std::uint32_t k = 0;
  std::uint32_t width = 1;          // 2k+1 cells per band
  std::uint32_t mask_count = 2;     // 2^width
  std::uint16_t start = 0;          // row 0: cells -k..-1 capped, then 0..k
  std::vector<std::uint16_t> next;  // next[state * mask_count + mask]
  std::vector<std::uint8_t> cells;  // cells[state * width + i], column d-k+i
  // Per state, when no edit is left (every cell within k equals k): bit i
  // set for each cell i that equals k. Only a label equal to query character
  // d-k+i for one of those bits keeps such a band alive (by the diagonal:
  // every other step adds an edit). 0 when some cell is below k, and for the
  // dead state.
  std::vector<std::uint8_t> tight;

  std::size_t state_count() const { return cells.size() / width; }
};

// The automaton for max_dist k (k <= CompactAutomaton::kMaxK), built on first use
// and kept for the life of the process; safe to call from several threads.
const CompactAutomaton& compact_automaton(std::uint32_t k);

}  // namespace tessaloom::prefix::matcher
