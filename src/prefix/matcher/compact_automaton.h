// The compact walk's distance state (compact_walk.h), cheap to advance: the
// cells of one band of the edit-distance table, each capped at k+1, interned
// as a small integer.
//
// Row d's band holds the cells j = d-k .. d+k. Cells left of column 0 are
// k+1, and the query is taken as followed by characters that match nothing,
// so cells right of column n are ordinary recurrence cells (never below the
// row's cell n, hence never below the true row minimum). The next band then
// depends only on the state and on the 2k+1 bits telling which of the query
// characters d-k .. d+k (0-based) equal the new label: one table lookup.
// The table is the same for every query, so it is built once per k.
//
// With transpositions (optimal string alignment: a swap of two adjacent
// characters costs one edit, no substring edited twice), cell j of row d+1
// may also come from cell j-2 of row d-1, plus one, when the new label
// equals query character j-2 and the label before it character j-1. Cell
// j-1 of row d is at most that cell plus one (its diagonal), so the swap
// lowers nothing unless it equals cell j-1 of row d exactly: the state
// keeps, beside the band, one flag per cell telling that the swap's first
// half holds (the label of row d equals character j-1, bit i+1 of the
// window that made the band) and that cell i came from the cell two rows
// up at no more than that cost. The same argument bounds the swap by the
// band: a dead band stays dead.
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
  bool transpositions = false;
  std::uint32_t width = 1;          // 2k+1 cells per band
  std::uint32_t mask_count = 2;     // 2^width
  std::uint16_t start = 0;          // row 0: cells -k..-1 capped, then 0..k
  std::vector<std::uint16_t> next;  // next[state * mask_count + mask]
  std::vector<std::uint8_t> cells;  // cells[state * width + i], column d-k+i
  // Per state, when no edit is left (every cell within k equals k): the
  // window bits i such that a label equal to query character d-k+i keeps
  // the band alive (by the diagonal, or with transpositions by a swap);
  // any other label adds an edit. A window keeps the band alive exactly
  // when it shares a bit with these. 0 when some cell is below k, and for
  // the dead state.
  std::vector<std::uint8_t> tight;

  std::size_t state_count() const { return cells.size() / width; }
};

// The automaton for max_dist k (k <= CompactAutomaton::kMaxK), with or
// without transpositions, built on first use and kept for the life of the
// process; safe to call from several threads.
const CompactAutomaton& compact_automaton(std::uint32_t k, bool transpositions = false);

}  // namespace tessaloom::prefix::matcher
