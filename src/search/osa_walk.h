// The edit-distance walk of search: depth-first pre-order over the trie's
// arrays, siblings in edge order, reporting every node whose spelled text is
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
#include "prefix/trie/trie.h"

namespace tessaloom::search {

// The largest max_dist the walk takes: cells are bytes.
inline constexpr std::uint32_t kMaxWalkDist = 250;

// Calls report(node, distance) for each node within max_dist of `word`, in
// walk order. Children labelled U+0000 are skipped with their subtrees, as
// the other walks do. Preconditions: max_dist <= kMaxWalkDist.
template <class Report>
void osa_walk(const Trie& trie, std::span<const char32_t> word, std::uint32_t max_dist,
              bool transpositions, MemoryBudget& budget, Report&& report) {
  const std::size_t node_count = trie.node_count();
  if (node_count == 0) return;
  const EdgeRange root = trie.edge_range(0);
  if (root.end <= root.begin) return;
  const std::int64_t n = static_cast<std::int64_t>(word.size());
  const std::int64_t k = max_dist;
  const std::uint8_t cap = static_cast<std::uint8_t>(k + 1);
  const std::size_t width = static_cast<std::size_t>(2 * k + 1);

  // rows[i * width + b] is cell j = i - k + b of the row at depth i; labels[i]
  // is the label of the node at depth i (labels[0] unused).
  std::vector<std::uint8_t> rows;
  std::vector<char32_t> labels;
  std::size_t taken = 0;
  auto grow = [&](std::size_t depth) {
    if (labels.size() > depth) return;
    const std::size_t more = std::max<std::size_t>(labels.size(), 16);
    // A row, a label and a stack frame per depth.
    const std::size_t bytes = more * (width + sizeof(char32_t) + 3 * sizeof(std::size_t));
    budget.take(bytes);
    taken += bytes;
    rows.resize((labels.size() + more) * width);
    labels.resize(labels.size() + more);
  };
  struct Give {
    MemoryBudget& budget;
    std::size_t& taken;
    ~Give() { budget.give(taken); }
  } give{budget, taken};

  grow(0);
  for (std::int64_t b = 0; b < static_cast<std::int64_t>(width); ++b) {
    const std::int64_t j = b - k;
    rows[static_cast<std::size_t>(b)] = j >= 0 && j <= n ? static_cast<std::uint8_t>(j) : cap;
  }

  struct Frame {
    std::size_t edge;
    std::size_t end;
    std::size_t depth;  // of the node whose children these edges lead to
  };
  std::vector<Frame> stack{{root.begin, root.end, 0}};
  const std::uint64_t bound = prefix::matcher::visit_bound(node_count, trie.edge_count());
  std::uint64_t visits = 0;

  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.edge == top.end) {
      stack.pop_back();
      continue;
    }
    if (++visits > bound) prefix::matcher::throw_too_many_paths(bound);
    const std::size_t child = trie.child(top.edge++);
    const char32_t ch = trie.label(child);
    if (ch == 0) continue;
    const std::size_t i = top.depth + 1;
    // No path of an acyclic graph has more edges than it has nodes.
    if (i > node_count) prefix::matcher::throw_cycle(child, i);
    grow(i);
    labels[i] = ch;
    const std::uint8_t* up = &rows[(i - 1) * width];
    const std::uint8_t* up2 = i >= 2 ? &rows[(i - 2) * width] : nullptr;
    std::uint8_t* cur = &rows[i * width];
    const std::int64_t si = static_cast<std::int64_t>(i);
    std::uint8_t row_min = cap;
    for (std::int64_t b = 0; b < static_cast<std::int64_t>(width); ++b) {
      const std::int64_t j = si - k + b;
      std::uint8_t v = cap;
      if (j == 0) {
        v = static_cast<std::uint8_t>(std::min<std::int64_t>(si, cap));
      } else if (j > 0 && j <= n) {
        // The diagonal of row i-1 sits at the same band position, the cell
        // above one to the right, the cell to the left one to the left.
        int best = up[b] + (word[static_cast<std::size_t>(j - 1)] != ch);
        if (b + 1 < static_cast<std::int64_t>(width)) best = std::min(best, up[b + 1] + 1);
        if (b > 0) best = std::min(best, cur[b - 1] + 1);
        if (transpositions && up2 != nullptr && j >= 2 &&
            ch == word[static_cast<std::size_t>(j - 2)] &&
            labels[i - 1] == word[static_cast<std::size_t>(j - 1)]) {
          best = std::min(best, up2[b] + 1);
        }
        v = static_cast<std::uint8_t>(std::min<int>(best, cap));
      }
      cur[b] = v;
      row_min = std::min(row_min, v);
    }
    if (row_min > k) continue;
    const std::int64_t last = n - si + k;  // the band position of cell n
    if (last >= 0 && last < static_cast<std::int64_t>(width) &&
        cur[static_cast<std::size_t>(last)] <= k) {
      report(child, static_cast<std::uint32_t>(cur[static_cast<std::size_t>(last)]));
    }
    const EdgeRange range = trie.edge_range(child);
    if (range.end > range.begin) stack.push_back({range.begin, range.end, i});
  }
}

}  // namespace tessaloom::search
