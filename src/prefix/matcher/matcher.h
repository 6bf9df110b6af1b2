// The edit-distance walk over the trie: lists the terms (fuzzy_match) or the
// nodes (fuzzy_match_nodes) whose spelled text lies within max_dist of the
// query, in depth-first pre-order with siblings in edge order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/matcher/compact_trie.h"
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

// Both functions come in two forms. The first walks the trie's arrays. The
// second is handed a CompactTrie derived from the same trie and walks that
// when it can (a usable layout, max_dist up to 3, a query of up to 64
// characters), otherwise the arrays: the results are the same either way,
// only faster. Passing a layout derived from another trie is a caller error.

// Terms within max_dist of `term` (UTF-8), terminal nodes only; with a limit,
// the first `limit` of the unlimited walk. Throws InternalFault on arrays
// that break the trie's invariants where the walk meets them, and
// QueryTooLarge when the walk's rows and the reported terms would need more
// than MemoryBudget::kQueryBytes.
std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term,
                                     std::uint32_t max_dist,
                                     std::optional<std::size_t> limit);

// Nodes within max_dist of `term`; with terminal_only, term ends only.
std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie,
                                         std::string_view term,
                                         std::uint32_t max_dist,
                                         bool terminal_only);

std::vector<MatchResult> fuzzy_match(const Trie& trie, const CompactTrie& compact,
                                     std::string_view term,
                                     std::uint32_t max_dist,
                                     std::optional<std::size_t> limit);
std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie,
                                         const CompactTrie& compact,
                                         std::string_view term,
                                         std::uint32_t max_dist,
                                         bool terminal_only);

}  // namespace tessaloom::prefix::matcher
