// The general edit-distance walk over the trie's own arrays: depth-first
// pre-order with siblings in edge order, an explicit stack, and one banded
// distance row per depth. It serves every query and every index; the compact
// walk (compact_walk.h) is a faster equivalent for the common case.
//
// Row d holds the cells j in [max(0, d-k), min(n, d+k)] only: any cell
// further from the diagonal is at least |d - j| > k and cannot matter. Cells
// are 32-bit and saturate at k+1, so nothing wraps whatever the query length
// or depth; rows are added as the walk first reaches a depth.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "common/fault.h"
#include "prefix/trie/trie.h"

namespace tessaloom::prefix::matcher {

// Throws InternalFault: a walk reached a depth greater than the node count,
// which no acyclic graph allows.
[[noreturn]] void throw_cycle(std::size_t node, std::size_t depth);

// Throws InternalFault: a walk followed more edges than its budget allows.
[[noreturn]] void throw_too_many_paths(std::uint64_t budget);

// The most edges a walk may follow. Below a tree each edge is followed at
// most once, so a walk over a tree never comes near it; arrays in which nodes
// are reachable along many paths (or cycles with several edges back) would
// otherwise make a walk's work grow exponentially with its depth.
inline std::uint64_t visit_budget(std::uint64_t edges, std::uint64_t depth) {
  const std::uint64_t a = edges + 1, b = depth + 2;
  return a > std::numeric_limits<std::uint64_t>::max() / b
             ? std::numeric_limits<std::uint64_t>::max()
             : a * b;
}

// Walks `trie` for the query `q` within `max_dist`. For each visited child
// whose row minimum is within max_dist, in walk order, calls
//   report(node, distance, path)
// when its distance (last cell) is within max_dist; `path` spells the node
// (root excluded) and is filled only when kTrackPath. report returns true to
// stop the whole walk. The node is then descended into whether or not it was
// reported. Children labelled U+0000 are skipped with their subtrees.
// Throws InternalFault on an index out of range, a cycle, or more visits than
// visit_budget allows.
template <bool kTrackPath, class Report>
void banded_walk(const Trie& trie, std::span<const char32_t> q,
                 std::uint32_t max_dist, Report&& report) {
  const std::size_t node_count = trie.node_count();
  if (node_count == 0) return;

  // True distances at depth d are at most max(n, d), and a depth above the
  // node count is a fault, so a max_dist above `bound` means the same as
  // `bound`; capping it keeps k+1 and every cell within 32 bits.
  const std::uint64_t n = q.size();
  const std::uint64_t bound =
      std::max<std::uint64_t>(n, std::uint64_t{node_count} + 1);
  if (bound >= std::numeric_limits<std::uint32_t>::max()) {
    throw InternalFault("query or index too large for 32-bit distances");
  }
  const std::uint64_t k = std::min<std::uint64_t>(max_dist, bound);
  const std::uint64_t cap = k + 1;  // every value above k is stored as cap
  const std::size_t width = static_cast<std::size_t>(std::min(n, 2 * k) + 1);
  auto lo_of = [&](std::uint64_t d) { return d > k ? d - k : 0; };
  auto hi_of = [&](std::uint64_t d) { return std::min(n, d + k); };

  const std::uint64_t budget = visit_budget(
      trie.edge_count(), std::min<std::uint64_t>(node_count, n + k));
  std::uint64_t visits = 0;

  std::vector<std::uint32_t> rows(width);
  for (std::uint64_t j = 0; j <= hi_of(0); ++j) rows[j] = static_cast<std::uint32_t>(j);

  struct Frame {
    std::size_t edge;
    std::size_t end;
  };
  std::vector<Frame> stack;
  std::vector<char32_t> path;  // path.size() == stack.size() - 1 when tracked
  const EdgeRange root = trie.edge_range(0);
  if (root.end <= root.begin) return;
  stack.push_back({root.begin, root.end});

  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.edge == top.end) {
      stack.pop_back();
      if constexpr (kTrackPath) {
        if (!path.empty()) path.pop_back();
      }
      continue;
    }
    if (++visits > budget) throw_too_many_paths(budget);
    const std::size_t child = trie.child(top.edge++);
    const char32_t ch = trie.label(child);
    if (ch == 0) continue;

    const std::uint64_t d = stack.size() - 1;  // depth of the parent
    const std::uint64_t dd = d + 1;
    if (rows.size() < (dd + 1) * width) rows.resize((dd + 1) * width);
    const std::uint32_t* prev = rows.data() + d * width;
    std::uint32_t* cur = rows.data() + dd * width;
    const std::uint64_t lo_p = lo_of(d), hi_p = hi_of(d);
    const std::uint64_t lo_c = lo_of(dd), hi_c = hi_of(dd);

    std::uint64_t row_min = cap;
    std::uint64_t left = cap;
    for (std::uint64_t j = lo_c; j <= hi_c; ++j) {
      std::uint64_t v = left + 1;
      if (j >= 1 && j - 1 >= lo_p && j - 1 <= hi_p) {
        v = std::min<std::uint64_t>(v, prev[j - 1 - lo_p] + (q[j - 1] != ch));
      }
      if (j >= lo_p && j <= hi_p) {
        v = std::min<std::uint64_t>(v, prev[j - lo_p] + std::uint64_t{1});
      }
      v = std::min(v, cap);
      cur[j - lo_c] = static_cast<std::uint32_t>(v);
      row_min = std::min(row_min, v);
      left = v;
    }
    if (row_min > k) continue;
    // No path of an acyclic graph has more edges than it has nodes.
    if (dd > node_count) throw_cycle(child, dd);

    const std::uint64_t dist =
        (n >= lo_c && n <= hi_c) ? cur[n - lo_c] : cap;
    if (dist <= k) {
      bool stop;
      if constexpr (kTrackPath) {
        path.push_back(ch);
        stop = report(child, static_cast<std::uint32_t>(dist),
                      std::span<const char32_t>(path));
        path.pop_back();
      } else {
        stop = report(child, static_cast<std::uint32_t>(dist),
                      std::span<const char32_t>());
      }
      if (stop) return;
    }

    const EdgeRange range = trie.edge_range(child);
    if (range.end <= range.begin) continue;
    stack.push_back({range.begin, range.end});
    if constexpr (kTrackPath) path.push_back(ch);
  }
}

}  // namespace tessaloom::prefix::matcher
