#include "prefix/matcher/matcher.h"

#include <string>

#include "common/budget.h"
#include "common/text.h"
#include "prefix/matcher/walk.h"

namespace tessaloom::prefix::matcher {

using common::encode_utf8;
using common::InternalFault;
using common::MemoryBudget;
using common::utf8_size;
using trie::TrieArrays;

std::vector<MatchResult> fuzzy_match(const TrieArrays& trie, const CompactLayout& layout,
                                     std::span<const char32_t> q, std::uint32_t max_dist,
                                     std::optional<std::size_t> limit) {
  std::vector<MatchResult> out;
  if (limit && *limit == 0) return out;
  MemoryBudget budget;
  walk<true>(trie, layout, q, max_dist, true, budget, [&](const Reached& r) {
    // Reported text counts against the budget before it is built: the terms
    // of a long chain, or paths repeated over arrays that are not a tree,
    // add up quadratically.
    const std::size_t size = utf8_size(r.path);
    budget.take(sizeof(MatchResult) + size);
    MatchResult& m = out.emplace_back();
    m.term.reserve(size);
    encode_utf8(r.path, m.term);
    m.node = r.node;
    m.distance = r.distance;
    return limit && out.size() >= *limit;
  });
  return out;
}

std::vector<NodeMatch> fuzzy_match_nodes(const TrieArrays& trie, const CompactLayout& layout,
                                         std::span<const char32_t> q, std::uint32_t max_dist,
                                         bool terminal_only) {
  std::vector<NodeMatch> out;
  MemoryBudget budget;
  walk<false>(trie, layout, q, max_dist, terminal_only, budget, [&](const Reached& r) {
    budget.take(sizeof(NodeMatch));
    out.push_back({r.node, r.distance});
    return false;
  });
  return out;
}

void throw_cycle(std::size_t node, std::size_t depth) {
  throw InternalFault("the walk reached node " + std::to_string(node) + " at depth " +
                      std::to_string(depth) +
                      ", deeper than the node count: the index has a cycle");
}

void throw_too_many_paths(std::uint64_t bound) {
  throw InternalFault("the walk followed more than " + std::to_string(bound) +
                      " edges, twice the nodes and edges of the index: its "
                      "arrays are not a tree (nodes are reachable along many "
                      "paths)");
}

}  // namespace tessaloom::prefix::matcher
