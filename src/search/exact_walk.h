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
  struct Frame {
    std::size_t edge;
    std::size_t end;
    std::size_t depth;  // of the node whose children these edges lead to
  };
  // Frames only for nodes spelling the word's beginning: at most one per
  // character in a trie.
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
    const std::size_t i = top.depth + 1;
    const char32_t ch = trie.label(child);
    if (ch == 0 || ch != word[i - 1]) continue;
    if (i > node_count) prefix::matcher::throw_cycle(child, i);
    if (i == word.size()) {
      const bool terminal = prefix::matcher::terminal_flag(trie, child, term_ends_only);
      if ((terminal || !term_ends_only) &&
          visit(prefix::matcher::Reached{child, terminal, 0, {}})) {
        return;
      }
      continue;
    }
    const prefix::trie::EdgeRange range = trie.edge_range(child);
    if (range.end > range.begin) stack.push_back({range.begin, range.end, i});
  }
}

}  // namespace tessaloom::search
