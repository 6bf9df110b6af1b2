// What a walk reports of each node it reaches within max_dist, and the one
// shape of the visitor that receives it, shared by every walk over the
// trie's arrays.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

#include "prefix/trie/trie.h"

namespace tessaloom::prefix::matcher {

struct Reached {
  std::size_t node;  // the trie's node number
  // Whether the node ends a term. Walks asked for term ends only read the
  // terminal flags checked; others report false for a node without a flag.
  bool terminal;
  std::uint32_t distance;
  // The labels spelling the node, root excluded, for walks that track paths;
  // empty otherwise. Valid during the call only.
  std::span<const char32_t> path;
};

// A walk calls visit(reached) for each node it reports, in walk order; a
// visitor returns true to stop the whole walk.
template <class V>
concept WalkVisitor = requires(V& visit, const Reached& reached) {
  { visit(reached) } -> std::same_as<bool>;
};

// The terminal flag of a node about to be reported: read checked when it
// decides the report (term ends only), else false for a node without one.
inline bool terminal_flag(const trie::TrieArrays& trie, std::size_t node, bool term_ends_only) {
  return term_ends_only ? trie.is_terminal(node)
                        : node < trie.terminal.size() && trie.terminal[node] != 0;
}

}  // namespace tessaloom::prefix::matcher
