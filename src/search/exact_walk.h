// The walk of a word with no edit allowed: an exact lookup that follows the
// children labelled with the word's next character instead of stepping a
// distance row over every child. It reports what osa_walk reports at
// max_dist 0, in the same order: the nodes spelling the word (one, in a trie;
// each path in walk order, should siblings share a label), term ends only
// with term_ends_only, distance 0. Bounded like the other walks: at most
// visit_bound edges, a depth past the node count is a cycle.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "prefix/matcher/array_walk.h"
#include "prefix/matcher/reached.h"
#include "prefix/trie/trie.h"

namespace tessaloom::search {

template <prefix::matcher::WalkVisitor Visitor>
void exact_walk(const prefix::trie::TrieArrays& trie, std::span<const char32_t> word,
                bool term_ends_only, Visitor&& visit) {
  const std::size_t node_count = trie.node_count();
  if (node_count == 0 || word.empty()) return;
  const prefix::trie::EdgeRange root = trie.edge_range(0);
  if (root.end <= root.begin) return;
  // Frames only for nodes spelling the word's beginning: at most one per
  // character in a trie.
  prefix::matcher::EdgeStack stack(trie, root);
  prefix::matcher::EdgeStack::Edge at;
  while (stack.next(at)) {
    const std::size_t i = at.depth;
    const char32_t ch = trie.label(at.child);
    if (ch == 0 || ch != word[i - 1]) continue;
    if (i > node_count) prefix::matcher::throw_cycle(at.child, i);
    if (i == word.size()) {
      const bool terminal = prefix::matcher::terminal_flag(trie, at.child, term_ends_only);
      if ((terminal || !term_ends_only) &&
          visit(prefix::matcher::Reached{at.child, terminal, 0, {}})) {
        return;
      }
      continue;
    }
    stack.push(at.child, i);
  }
}

}  // namespace tessaloom::search
