// The edit-distance walks of search. walk_word takes the compact walk
// (prefix/matcher/compact_walk.h, with the transposition automaton when
// asked) wherever it serves, and osa_walk otherwise: on a trie without a
// compact layout, or a word longer than the compact walk takes. Both give
// the same reports in the same order.
//
// osa_walk: depth-first pre-order over the trie's arrays, siblings in edge
// order, reporting every node whose spelled text is
// within max_dist of the word. With transpositions, a swap of two adjacent
// characters costs one edit (optimal string alignment: no substring is
// edited twice); without, the distance is Levenshtein's, as fuzzy_match's.
//
// Rows are banded: the row of depth i keeps the cells j in [i-k, i+k], band
// position j-i+k, since a cell further from the diagonal exceeds k. Cells
// saturate at k+1. A transposition at row i reads row i-2, so the rows of the
// whole current path are kept, one per depth; a walk never goes deeper than
// n+k, where every cell of a row is past the band's end. The row minimum
// prunes: a transposition into row i+1 comes from a cell of row i-1 that is
// at most one below a cell of row i (its diagonal), so once every cell of a
// row exceeds k no descendant can come back within k.
//
// Bounded like the other walks: at most visit_bound edges are followed, a
// depth past the node count is a cycle (both InternalFault), and the rows and
// the path count against the query's MemoryBudget.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/budget.h"
#include "common/fault.h"
#include "prefix/matcher/array_walk.h"
#include "prefix/matcher/compact_layout.h"
#include "prefix/matcher/compact_walk.h"
#include "prefix/matcher/reached.h"
#include "prefix/matcher/walk.h"
#include "prefix/trie/trie.h"

namespace tessaloom::search {

// The largest max_dist the walk takes.
inline constexpr std::uint32_t kMaxWalkDist = 3;

namespace osa_detail {

// The walk for budget K (band width 2K+1, known to the compiler so that the
// cell loop unrolls). The query is padded on each side with characters that
// no label equals (labels are scalar values), so that reading a character
// needs no bounds test; cells left of 0 or right of n are forced to the cap.
template <std::uint32_t K, class Visitor>
void walk(const prefix::trie::TrieArrays& trie, std::span<const char32_t> word, bool transpositions,
          bool term_ends_only, common::MemoryBudget& budget, Visitor& visit) {
  constexpr std::int64_t kK = K;
  constexpr std::size_t kWidth = 2 * K + 1;
  constexpr std::uint8_t kCap = K + 1;
  constexpr char32_t kNone = 0xFFFFFFFF;  // no label is this
  const std::size_t node_count = trie.node_count();
  const prefix::trie::EdgeRange root = trie.edge_range(0);
  if (root.end <= root.begin) return;
  const std::int64_t n = static_cast<std::int64_t>(word.size());

  // padded[j + K + 1] is the query's character j (0-based), kNone outside.
  std::size_t taken = 0;
  struct Give {
    common::MemoryBudget& budget;
    std::size_t& taken;
    ~Give() { budget.give(taken); }
  } give{budget, taken};
  // Cells reach j = n + 2K + 1 (children of a node at depth n + K), which
  // read character j - 1.
  const std::size_t padded_size = word.size() + 3 * K + 4;
  budget.take(padded_size * sizeof(char32_t));
  taken += padded_size * sizeof(char32_t);
  std::vector<char32_t> padded(padded_size, kNone);
  std::copy(word.begin(), word.end(), padded.begin() + K + 1);
  auto q = [&](std::int64_t j) { return padded[static_cast<std::size_t>(j + kK + 1)]; };

  // rows[i * kWidth + b] is cell j = i - K + b of the row at depth i;
  // labels[i] the label of the node at depth i (labels[0] unused).
  std::vector<std::uint8_t> rows;
  std::vector<char32_t> labels;
  auto grow = [&](std::size_t depth) {
    if (labels.size() > depth) return;
    const std::size_t more = std::max<std::size_t>(labels.size(), 16);
    // A row, a label and a stack frame per depth.
    const std::size_t bytes = more * (kWidth + sizeof(char32_t) + 3 * sizeof(std::size_t));
    budget.take(bytes);
    taken += bytes;
    rows.resize((labels.size() + more) * kWidth);
    labels.resize(labels.size() + more, kNone);
  };
  grow(0);
  for (std::int64_t b = 0; b < static_cast<std::int64_t>(kWidth); ++b) {
    const std::int64_t j = b - kK;
    rows[static_cast<std::size_t>(b)] = j >= 0 && j <= n ? static_cast<std::uint8_t>(j) : kCap;
  }

  prefix::matcher::EdgeStack stack(trie, root);
  prefix::matcher::EdgeStack::Edge at;

  while (stack.next(at)) {
    const std::size_t child = at.child;
    const char32_t ch = trie.label(child);
    if (ch == 0) continue;
    const std::size_t i = at.depth;
    // No path of an acyclic graph has more edges than it has nodes.
    if (i > node_count) prefix::matcher::throw_cycle(child, i);
    grow(i);
    labels[i] = ch;
    const std::uint8_t* up = &rows[(i - 1) * kWidth];
    const std::uint8_t* up2 = &rows[(i >= 2 ? i - 2 : 0) * kWidth];
    std::uint8_t* cur = &rows[i * kWidth];
    const std::int64_t si = static_cast<std::int64_t>(i);
    const char32_t before = labels[i - 1];  // kNone at depth 1: no swap
    const bool swaps = transpositions && i >= 2;
    // Every cell from the row above (diagonal, deletion) and the row two
    // above (swap); insertions, which come from the left, never lower a row
    // below its minimum, so they wait until the row survives.
    std::uint8_t cells[kWidth];
    std::uint8_t row_min = kCap;
    for (std::size_t b = 0; b < kWidth; ++b) {
      const std::int64_t j = si - kK + static_cast<std::int64_t>(b);
      int v = up[b] + (q(j - 1) != ch);
      if (b + 1 < kWidth) v = std::min(v, up[b + 1] + 1);
      if (swaps && ch == q(j - 2) && before == q(j - 1)) v = std::min(v, up2[b] + 1);
      if (j == 0) v = std::min<std::int64_t>(si, kCap);
      if (j < 0 || j > n) v = kCap;
      cells[b] = static_cast<std::uint8_t>(std::min<int>(v, kCap));
      row_min = std::min(row_min, cells[b]);
    }
    if (row_min > kK) continue;
    for (std::size_t b = 0; b < kWidth; ++b) {
      std::uint8_t v = cells[b];
      if (b > 0) v = std::min<std::uint8_t>(v, static_cast<std::uint8_t>(cur[b - 1] + 1));
      const std::int64_t j = si - kK + static_cast<std::int64_t>(b);
      cur[b] = j < 0 || j > n ? kCap : std::min<std::uint8_t>(v, kCap);
    }
    const std::int64_t last = n - si + kK;  // the band position of cell n
    if (last >= 0 && last < static_cast<std::int64_t>(kWidth) &&
        cur[static_cast<std::size_t>(last)] <= kK) {
      const bool terminal = prefix::matcher::terminal_flag(trie, child, term_ends_only);
      if ((terminal || !term_ends_only) &&
          visit(prefix::matcher::Reached{
              child,
              terminal,
              static_cast<std::uint32_t>(cur[static_cast<std::size_t>(last)]),
              {}})) {
        return;
      }
    }
    stack.push(child, i);
  }
}

}  // namespace osa_detail

// Calls visit(Reached{node, terminal, distance, {}}) for each node within
// max_dist of `word` (term ends only, with term_ends_only), in walk order,
// until visit returns true; paths are not spelled. Children labelled U+0000
// are skipped with their subtrees, as the other walks do. Preconditions:
// max_dist <= kMaxWalkDist.
template <prefix::matcher::WalkVisitor Visitor>
void osa_walk(const prefix::trie::TrieArrays& trie, std::span<const char32_t> word,
              std::uint32_t max_dist, bool transpositions, bool term_ends_only,
              common::MemoryBudget& budget, Visitor&& visit) {
  if (trie.node_count() == 0) return;
  switch (max_dist) {
    case 0:
      return osa_detail::walk<0>(trie, word, transpositions, term_ends_only, budget, visit);
    case 1:
      return osa_detail::walk<1>(trie, word, transpositions, term_ends_only, budget, visit);
    case 2:
      return osa_detail::walk<2>(trie, word, transpositions, term_ends_only, budget, visit);
    default:
      return osa_detail::walk<3>(trie, word, transpositions, term_ends_only, budget, visit);
  }
}

// As osa_walk, over `layout` (CompactLayout(trie), or empty) where the
// compact walk serves the word.
template <prefix::matcher::WalkVisitor Visitor>
void walk_word(const prefix::trie::TrieArrays& trie, const prefix::matcher::CompactLayout& layout,
               std::span<const char32_t> word, std::uint32_t max_dist, bool transpositions,
               bool term_ends_only, common::MemoryBudget& budget, Visitor&& visit) {
  if (prefix::matcher::compact_serves(layout, word, max_dist)) {
    prefix::matcher::compact_walk<false>(layout, trie, word, max_dist, transpositions,
                                         term_ends_only, visit);
  } else {
    osa_walk(trie, word, max_dist, transpositions, term_ends_only, budget, visit);
  }
}

}  // namespace tessaloom::search
