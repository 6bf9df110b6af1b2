// The edit-distance walk over the trie: lists the terms (fuzzy_match) or the
// nodes (fuzzy_match_nodes) whose spelled text lies within max_dist of the
// query, in depth-first pre-order with siblings in edge order.
//
// Both take the walk of walk.h: the compact walk when `layout` is usable
// and it serves, else the array walk, with the same results. The layout must
// be CompactLayout(trie) or empty (CompactLayout()): the index value
// (index/index.h) holds the two together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "prefix/matcher/compact_layout.h"
#include "prefix/trie/trie.h"

namespace tessaloom::prefix::matcher {

struct MatchResult {
  std::string term;  // UTF-8
  std::size_t node;
  std::uint32_t distance;
  bool operator==(const MatchResult&) const = default;
};

struct NodeMatch {
  std::size_t node;
  std::uint32_t distance;
  bool operator==(const NodeMatch&) const = default;
};

// Terms within max_dist of the query (code points), terminal nodes only;
// with a limit, the first `limit` of the unlimited walk. Throws InternalFault
// on arrays that break the trie's invariants where the walk meets them, and
// QueryTooLarge when the walk's rows and the reported terms would need more
// than MemoryBudget::kQueryBytes.
std::vector<MatchResult> fuzzy_match(const trie::TrieArrays& trie, const CompactLayout& layout,
                                     std::span<const char32_t> query, std::uint32_t max_dist,
                                     std::optional<std::size_t> limit);

// Nodes within max_dist of the query; with terminal_only, term ends only.
std::vector<NodeMatch> fuzzy_match_nodes(const trie::TrieArrays& trie, const CompactLayout& layout,
                                         std::span<const char32_t> query, std::uint32_t max_dist,
                                         bool terminal_only);

}  // namespace tessaloom::prefix::matcher
