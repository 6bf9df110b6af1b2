// The one way into the edit-distance walk: walk() chooses once per query
// between the compact walk (compact_walk.h: max_dist up to 3, queries up to
// 64 characters, over a CompactLayout derived from the trie) and the array
// walk (array_walk.h: every query, over the trie's own arrays), which give
// the same reports in the same order, and reports each node it reaches to
// one visitor (reached.h).
#pragma once

#include <cstdint>
#include <span>

#include "common/budget.h"
#include "prefix/matcher/array_walk.h"
#include "prefix/matcher/compact_layout.h"
#include "prefix/matcher/compact_walk.h"
#include "prefix/matcher/reached.h"
#include "prefix/trie/trie.h"

namespace tessaloom::prefix::matcher {

// Whether the compact walk serves this query over `layout`.
inline bool compact_serves(const CompactLayout& layout, std::span<const char32_t> q,
                           std::uint32_t max_dist) {
  return layout.usable() && max_dist <= CompactAutomaton::kMaxK && q.size() <= kCompactMaxQuery;
}

// Walks `trie` for the query `q` (code points) within max_dist: calls
// visit(Reached) for each node whose spelled text lies within max_dist (term
// ends only, with term_ends_only), in depth-first pre-order with siblings in
// edge order, until visit returns true. Paths are spelled only when
// kTrackPath. `layout` must be CompactLayout(trie) or empty. Throws
// InternalFault on arrays that break the trie's invariants where the walk
// meets them, and QueryTooLarge when the array walk's rows would not fit
// `budget`.
template <bool kTrackPath, WalkVisitor Visitor>
void walk(const trie::TrieArrays& trie, const CompactLayout& layout, std::span<const char32_t> q,
          std::uint32_t max_dist, bool term_ends_only, common::MemoryBudget& budget,
          Visitor&& visit) {
  if (compact_serves(layout, q, max_dist)) {
    compact_walk<kTrackPath>(layout, trie, q, max_dist, false, term_ends_only, visit);
  } else {
    array_walk<kTrackPath>(trie, q, max_dist, term_ends_only, budget, visit);
  }
}

}  // namespace tessaloom::prefix::matcher
