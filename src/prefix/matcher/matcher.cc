#include "prefix/matcher/matcher.h"

#include <string>

#include "prefix/matcher/banded_walk.h"
#include "prefix/matcher/text.h"

namespace tessaloom::prefix::matcher {

void throw_cycle(std::size_t node, std::size_t depth) {
  throw InternalFault("the walk reached node " + std::to_string(node) +
                      " at depth " + std::to_string(depth) +
                      ", deeper than the node count: the index has a cycle");
}

std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term,
                                     std::uint32_t max_dist,
                                     std::optional<std::size_t> limit) {
  std::vector<MatchResult> out;
  if (limit && *limit == 0) return out;
  const std::vector<char32_t> q = decode_utf8(term);
  banded_walk<true>(trie, q, max_dist,
                    [&](std::size_t node, std::uint32_t dist,
                        std::span<const char32_t> path) {
                      if (!trie.is_terminal(node)) return false;
                      MatchResult& r = out.emplace_back();
                      encode_utf8(path, r.term);
                      r.node = node;
                      r.distance = dist;
                      return limit && out.size() >= *limit;
                    });
  return out;
}

std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie,
                                         std::string_view term,
                                         std::uint32_t max_dist,
                                         bool terminal_only) {
  std::vector<NodeMatch> out;
  const std::vector<char32_t> q = decode_utf8(term);
  banded_walk<false>(trie, q, max_dist,
                     [&](std::size_t node, std::uint32_t dist,
                         std::span<const char32_t>) {
                       if (terminal_only && !trie.is_terminal(node)) {
                         return false;
                       }
                       out.push_back({node, dist});
                       return false;
                     });
  return out;
}

}  // namespace tessaloom::prefix::matcher
