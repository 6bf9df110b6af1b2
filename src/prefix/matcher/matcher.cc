#include "prefix/matcher/matcher.h"

#include <string>

#include "common/budget.h"
#include "prefix/matcher/array_walk.h"
#include "prefix/matcher/compact_walk.h"
#include "common/text.h"

namespace tessaloom::prefix::matcher {
namespace {

bool compact_serves(const CompactLayout& layout, std::span<const char32_t> q,
                    std::uint32_t max_dist) {
  return layout.usable() && max_dist <= CompactAutomaton::kMaxK && q.size() <= kCompactMaxQuery;
}

}  // namespace

std::vector<MatchResult> fuzzy_match(const Trie& trie, const CompactLayout& layout,
                                     std::span<const char32_t> q, std::uint32_t max_dist,
                                     std::optional<std::size_t> limit) {
  std::vector<MatchResult> out;
  if (limit && *limit == 0) return out;
  MemoryBudget budget;
  auto add = [&](std::size_t node, std::uint32_t dist, std::span<const char32_t> path) {
    // Reported text counts against the budget before it is built: the terms
    // of a long chain, or paths repeated over arrays that are not a tree,
    // add up quadratically.
    const std::size_t size = utf8_size(path);
    budget.take(sizeof(MatchResult) + size);
    MatchResult& r = out.emplace_back();
    r.term.reserve(size);
    encode_utf8(path, r.term);
    r.node = node;
    r.distance = dist;
    return limit && out.size() >= *limit;
  };
  if (compact_serves(layout, q, max_dist)) {
    compact_walk<true>(
        layout, trie, q, max_dist,
        [&](std::size_t record, bool terminal, std::uint32_t dist, std::span<const char32_t> path) {
          return terminal && add(layout.original(record), dist, path);
        });
  } else {
    array_walk<true>(trie, q, max_dist, budget,
                     [&](std::size_t node, std::uint32_t dist, std::span<const char32_t> path) {
                       return trie.is_terminal(node) && add(node, dist, path);
                     });
  }
  return out;
}

std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, const CompactLayout& layout,
                                         std::span<const char32_t> q, std::uint32_t max_dist,
                                         bool terminal_only) {
  std::vector<NodeMatch> out;
  MemoryBudget budget;
  auto add = [&](std::size_t node, std::uint32_t dist) {
    budget.take(sizeof(NodeMatch));
    out.push_back({node, dist});
  };
  if (compact_serves(layout, q, max_dist)) {
    compact_walk<false>(
        layout, trie, q, max_dist,
        [&](std::size_t record, bool terminal, std::uint32_t dist, std::span<const char32_t>) {
          if (!terminal_only || terminal) {
            add(layout.original(record), dist);
          }
          return false;
        });
  } else {
    array_walk<false>(trie, q, max_dist, budget,
                      [&](std::size_t node, std::uint32_t dist, std::span<const char32_t>) {
                        // The terminal flags are read only when they matter.
                        if (!terminal_only || trie.is_terminal(node)) {
                          add(node, dist);
                        }
                        return false;
                      });
  }
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
