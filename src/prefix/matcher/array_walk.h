// The general edit-distance walk over the trie's own arrays: depth-first
// pre-order with siblings in edge order, an explicit stack, and banded
// distance rows. It serves every query and every index; the compact walk
// (compact_walk.h) is a faster equivalent for the common case.
//
// The row of a node at depth d holds the cells j in [max(0, d-k), min(n, d+k)]
// only: any cell further from the diagonal is at least |d - j| > k and cannot
// matter. Cells saturate at k+1, so nothing wraps whatever the query length
// or depth; they are 16-bit whenever k+1 fits (eight computed at a time
// with SSE2 where the target has it), else 32-bit. A node's row is
// kept only while it has children left to try: the child entered last takes
// over its parent's row, so a chain needs two rows however deep it is.
//
// Work and memory are bounded by the input. A walk follows at most
// 2·(N+E)+2 edges; over a tree it follows each edge at most once, so passing
// that proves the arrays are not a tree, and the walk stops with
// InternalFault. Rows count against the query's MemoryBudget.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/budget.h"
#include "common/fault.h"
#include "prefix/matcher/reached.h"
#include "prefix/trie/trie.h"

namespace tessaloom::prefix::matcher {

// Throws InternalFault: a walk reached a depth greater than the node count,
// which no acyclic graph allows.
[[noreturn]] void throw_cycle(std::size_t node, std::size_t depth);

// Throws InternalFault: a walk followed more edges than its bound allows.
[[noreturn]] void throw_too_many_paths(std::uint64_t bound);

// The most edges a walk over N nodes and E edges may follow.
inline std::uint64_t visit_bound(std::uint64_t nodes, std::uint64_t edges) {
  return 2 * (nodes + edges) + 2;
}

// The explicit stack of a depth-first walk over the trie's arrays: frames of
// the edges still to follow below a node, with that node's depth. next()
// takes the next edge in pre-order (siblings in edge order), counting it
// against visit_bound; push() adds the children of the node just reached.
class EdgeStack {
 public:
  struct Edge {
    std::size_t child;
    std::size_t depth;  // the child's
  };

  EdgeStack(const trie::TrieArrays& trie, trie::EdgeRange root)
      : trie_(trie), bound_(visit_bound(trie.node_count(), trie.edge_count())) {
    push(root, 0);
  }

  bool next(Edge& out) {
    while (!frames_.empty()) {
      Frame& top = frames_.back();
      if (top.edge == top.end) {
        frames_.pop_back();
        continue;
      }
      if (++visits_ > bound_) throw_too_many_paths(bound_);
      out = {trie_.child(top.edge++), top.depth + 1};
      return true;
    }
    return false;
  }

  // The children of `node`, at `depth`, come next.
  void push(std::size_t node, std::size_t depth) { push(trie_.edge_range(node), depth); }

 private:
  struct Frame {
    std::size_t edge;
    std::size_t end;
    std::size_t depth;  // of the node whose children these edges lead to
  };

  void push(trie::EdgeRange range, std::size_t depth) {
    if (range.end > range.begin) frames_.push_back({range.begin, range.end, depth});
  }

  const trie::TrieArrays& trie_;
  std::uint64_t bound_;
  std::uint64_t visits_ = 0;
  std::vector<Frame> frames_;
};

namespace array_detail {

// Rows of `width` cells by stack position: slot i is the row of the frame at
// position i, and the slot above the top frame receives the row of the child
// being tried. Slots are made as the stack first reaches a height, counted
// against the budget before they are allocated, and reused afterwards.
template <class Cell>
class RowSlots {
 public:
  RowSlots(std::size_t width, common::MemoryBudget& budget) : width_(width), budget_(budget) {}
  RowSlots(const RowSlots&) = delete;
  RowSlots& operator=(const RowSlots&) = delete;
  ~RowSlots() { budget_.give(slots_.size() * bytes_per_slot()); }

  Cell* at(std::size_t i) {
    while (slots_.size() <= i) {
      budget_.take(bytes_per_slot());
      try {
        slots_.push_back(std::make_unique_for_overwrite<Cell[]>(width_));
      } catch (...) {
        budget_.give(bytes_per_slot());
        throw;
      }
    }
    return slots_[i].get();
  }
  void swap(std::size_t a, std::size_t b) { slots_[a].swap(slots_[b]); }

 private:
  std::size_t bytes_per_slot() const {
    return width_ * sizeof(Cell) + sizeof(std::unique_ptr<Cell[]>);
  }

  std::size_t width_;
  common::MemoryBudget& budget_;
  std::vector<std::unique_ptr<Cell[]>> slots_;
};

#if defined(__SSE2__)
// The lane-wise minimum of eight unsigned 16-bit values.
inline __m128i umin16(__m128i a, __m128i b) { return _mm_sub_epi16(a, _mm_subs_epu16(a, b)); }
#endif

// The row of a child labelled `ch` at depth d+1 (cells lo_c..hi_c) from its
// parent's row at depth d (cells lo_p..hi_p), in two steps. The first takes
// each cell from the parent's row alone: a match or substitution from the
// diagonal, a deletion from above, saturated at cap. It returns the minimum,
// which is already the row's minimum (cap for an empty row): insertions only
// lower a cell to one more than its left neighbour, never below the
// smallest cell. So the second step, the insertions, which runs cell after
// cell, is needed only for a row that is not pruned.
template <class Cell, class Wide>
Wide row_from_parent(const Cell* prev, Cell* cur, std::span<const char32_t> q, char32_t ch,
                     std::uint64_t lo_p, std::uint64_t hi_p, std::uint64_t lo_c, std::uint64_t hi_c,
                     Wide cap) {
  if (lo_c > hi_c) return cap;
  // Cells with both a diagonal and an upper neighbour: no branch, so the
  // compiler can vectorise the loop.
  const std::uint64_t inner_lo = std::max(lo_c, lo_p + 1);
  const std::uint64_t inner_hi = std::min(hi_c, hi_p);
  if (lo_c < inner_lo) {  // only cell 0 at depths up to k: no diagonal
    cur[0] = static_cast<Cell>(std::min<Wide>(Wide{prev[0]} + 1, cap));
  }
  std::uint64_t j = inner_lo;
#if defined(__SSE2__)
  if constexpr (sizeof(Cell) == 2) {
    // Eight cells at a time; sums saturate at 65535, which no cap exceeds.
    const __m128i ones = _mm_set1_epi16(1);
    const __m128i caps = _mm_set1_epi16(static_cast<short>(cap));
    const __m128i label = _mm_set1_epi32(static_cast<int>(ch));
    for (; j + 8 <= inner_hi + 1; j += 8) {
      const auto* chars = reinterpret_cast<const __m128i*>(q.data() + (j - 1));
      const __m128i equal = _mm_packs_epi32(_mm_cmpeq_epi32(_mm_loadu_si128(chars), label),
                                            _mm_cmpeq_epi32(_mm_loadu_si128(chars + 1), label));
      const __m128i diag =
          _mm_adds_epu16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + (j - 1 - lo_p))),
                         _mm_andnot_si128(equal, ones));
      const __m128i up = _mm_adds_epu16(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + (j - lo_p))), ones);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(cur + (j - lo_c)),
                       umin16(umin16(diag, up), caps));
    }
  }
#endif
  for (; j <= inner_hi; ++j) {
    const Wide diag = Wide{prev[j - 1 - lo_p]} + (q[j - 1] != ch);
    const Wide up = Wide{prev[j - lo_p]} + 1;
    cur[j - lo_c] = static_cast<Cell>(std::min(std::min(diag, up), cap));
  }
  if (hi_c > inner_hi) {  // one past the parent's band: no upper neighbour
    const Wide diag = Wide{prev[hi_c - 1 - lo_p]} + (q[hi_c - 1] != ch);
    cur[hi_c - lo_c] = static_cast<Cell>(std::min(diag, cap));
  }
  const std::size_t width = static_cast<std::size_t>(hi_c - lo_c + 1);
  Cell row_min = std::numeric_limits<Cell>::max();
  std::size_t i = 0;
#if defined(__SSE2__)
  if constexpr (sizeof(Cell) == 2) {
    __m128i m = _mm_set1_epi16(-1);
    for (; i + 8 <= width; i += 8) {
      m = umin16(m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + i)));
    }
    m = umin16(m, _mm_srli_si128(m, 8));
    m = umin16(m, _mm_srli_si128(m, 4));
    m = umin16(m, _mm_srli_si128(m, 2));
    row_min = static_cast<Cell>(_mm_extract_epi16(m, 0));
  }
#endif
  for (; i < width; ++i) row_min = std::min(row_min, cur[i]);
  return row_min;
}

// The insertions of a row of `width` cells, left to right: each cell
// becomes the smaller of itself and one more than its new left neighbour.
template <class Cell, class Wide>
void add_insertions(Cell* cur, std::size_t width) {
  std::size_t i = 1;
  Wide left = cur[0];
#if defined(__SSE2__)
  if constexpr (sizeof(Cell) == 2) {
    // Eight 16-bit cells at a time: cell i becomes the minimum over j <= i
    // of cell j + (i - j), which three shifted minimums give within the
    // eight and the carried left neighbour across them. Sums saturate at
    // 65535, above every cap, so they never wrap.
    const __m128i ones = _mm_set1_epi16(1), twos = _mm_set1_epi16(2), fours = _mm_set1_epi16(4);
    const __m128i fill1 = _mm_setr_epi16(-1, 0, 0, 0, 0, 0, 0, 0);
    const __m128i fill2 = _mm_setr_epi16(-1, -1, 0, 0, 0, 0, 0, 0);
    const __m128i fill4 = _mm_setr_epi16(-1, -1, -1, -1, 0, 0, 0, 0);
    const __m128i steps = _mm_setr_epi16(1, 2, 3, 4, 5, 6, 7, 8);
    for (; i + 8 <= width; i += 8) {
      auto* at = reinterpret_cast<__m128i*>(cur + i);
      __m128i x = _mm_loadu_si128(at);
      x = umin16(x, _mm_adds_epu16(_mm_or_si128(_mm_slli_si128(x, 2), fill1), ones));
      x = umin16(x, _mm_adds_epu16(_mm_or_si128(_mm_slli_si128(x, 4), fill2), twos));
      x = umin16(x, _mm_adds_epu16(_mm_or_si128(_mm_slli_si128(x, 8), fill4), fours));
      const __m128i carried = _mm_adds_epu16(_mm_set1_epi16(static_cast<short>(left)), steps);
      x = umin16(x, carried);
      _mm_storeu_si128(at, x);
      left = static_cast<Wide>(_mm_extract_epi16(x, 7));
    }
  }
#endif
  for (; i < width; ++i) {
    left = std::min<Wide>(cur[i], left + 1);
    cur[i] = static_cast<Cell>(left);
  }
}

template <class Cell, class Wide, bool kTrackPath, class Visitor>
void walk(const trie::TrieArrays& trie, std::span<const char32_t> q, std::uint64_t k,
          bool term_ends_only, common::MemoryBudget& budget, Visitor& visit) {
  const std::size_t node_count = trie.node_count();
  const std::uint64_t n = q.size();
  const Wide cap = static_cast<Wide>(k + 1);
  const std::size_t width = static_cast<std::size_t>(std::min(n, 2 * k) + 1);
  auto lo_of = [&](std::uint64_t d) { return d > k ? d - k : 0; };
  auto hi_of = [&](std::uint64_t d) { return std::min(n, d + k); };

  const std::uint64_t bound = visit_bound(node_count, trie.edge_count());
  std::uint64_t visits = 0;

  const trie::EdgeRange root = trie.edge_range(0);
  if (root.end <= root.begin) return;
  RowSlots<Cell> rows(width, budget);
  Cell* const first = rows.at(0);
  for (std::uint64_t j = 0; j <= hi_of(0); ++j) first[j] = static_cast<Cell>(j);

  struct Frame {
    std::size_t edge;
    std::size_t end;
    std::uint64_t depth;
  };
  std::vector<Frame> stack{{root.begin, root.end, 0}};
  // Spells the node last entered; its first d labels spell the top frame's
  // node at depth d, whose descendants alone were entered since.
  std::vector<char32_t> path;

  while (!stack.empty()) {
    const std::size_t at = stack.size() - 1;
    Frame& top = stack.back();
    if (top.edge == top.end) {
      stack.pop_back();
      continue;
    }
    if (++visits > bound) throw_too_many_paths(bound);
    const std::size_t child = trie.child(top.edge++);
    const char32_t ch = trie.label(child);
    if (ch == 0) continue;

    const std::uint64_t d = top.depth;
    const std::uint64_t dd = d + 1;
    Cell* const cur = rows.at(at + 1);
    const Cell* const prev = rows.at(at);
    const std::uint64_t lo_c = lo_of(dd), hi_c = hi_of(dd);
    const Wide row_min =
        row_from_parent<Cell, Wide>(prev, cur, q, ch, lo_of(d), hi_of(d), lo_c, hi_c, cap);
    if (row_min > k) continue;
    add_insertions<Cell, Wide>(cur, static_cast<std::size_t>(hi_c - lo_c + 1));
    // No path of an acyclic graph has more edges than it has nodes.
    if (dd > node_count) throw_cycle(child, dd);

    if constexpr (kTrackPath) {
      path.resize(d);
      path.push_back(ch);
    }
    const Wide dist = (n >= lo_c && n <= hi_c) ? Wide{cur[n - lo_c]} : cap;
    if (dist <= k) {
      const bool terminal = terminal_flag(trie, child, term_ends_only);
      if ((terminal || !term_ends_only) &&
          visit(Reached{child, terminal, static_cast<std::uint32_t>(dist),
                        std::span<const char32_t>(path.data(), kTrackPath ? dd : 0)})) {
        return;
      }
    }

    const trie::EdgeRange range = trie.edge_range(child);
    if (range.end <= range.begin) continue;
    if (top.edge == top.end) {
      // The parent has no child left to try: the child takes over its frame
      // and its row.
      rows.swap(at, at + 1);
      top = {range.begin, range.end, dd};
    } else {
      stack.push_back({range.begin, range.end, dd});
    }
  }
}

}  // namespace array_detail

// Walks `trie` for the query `q` within `max_dist`. For each visited child
// whose row minimum is within max_dist, in walk order, when its distance
// (last cell) is within max_dist and, with term_ends_only, it ends a term,
// calls visit(Reached{node, terminal, distance, path}); `path` spells the
// node (root excluded) and is filled only when kTrackPath. visit returns
// true to stop the whole walk. The node is then descended into whether or
// not it was reported. Children labelled U+0000 are skipped with their
// subtrees. Throws InternalFault on an index out of range, a cycle, or more
// visits than visit_bound allows; QueryTooLarge when the rows would not fit
// `budget`.
template <bool kTrackPath, WalkVisitor Visitor>
void array_walk(const trie::TrieArrays& trie, std::span<const char32_t> q, std::uint32_t max_dist,
                bool term_ends_only, common::MemoryBudget& budget, Visitor&& visit) {
  const std::size_t node_count = trie.node_count();
  if (node_count == 0) return;
  // True distances at depth d are at most max(n, d), and a depth above the
  // node count is a fault, so a max_dist above `bound` means the same as
  // `bound`; capping it keeps k+1 and every cell within 32 bits.
  const std::uint64_t n = q.size();
  const std::uint64_t bound = std::max<std::uint64_t>(n, std::uint64_t{node_count} + 1);
  if (bound >= std::numeric_limits<std::uint32_t>::max()) {
    throw common::InternalFault("query or index too large for 32-bit distances");
  }
  const std::uint64_t k = std::min<std::uint64_t>(max_dist, bound);
  if (k + 1 <= std::numeric_limits<std::uint16_t>::max()) {
    array_detail::walk<std::uint16_t, std::uint32_t, kTrackPath>(trie, q, k, term_ends_only, budget,
                                                                 visit);
  } else {
    array_detail::walk<std::uint32_t, std::uint64_t, kTrackPath>(trie, q, k, term_ends_only, budget,
                                                                 visit);
  }
}

}  // namespace tessaloom::prefix::matcher
