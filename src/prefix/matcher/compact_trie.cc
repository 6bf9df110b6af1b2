#include "prefix/matcher/compact_trie.h"

#include <limits>

namespace tessaloom::prefix::matcher {

CompactTrie::CompactTrie(const Trie& trie) {
  const std::size_t n = trie.node_count();
  const std::size_t edges = trie.edge_count();
  // Record numbers and the terminal bit must fit in 32 bits.
  if (n == 0 || n >= std::numeric_limits<std::uint32_t>::max() ||
      trie.node_shifts.size() != n || trie.terminal.size() < n) {
    return;
  }
  const auto& shifts = trie.node_shifts;
  const auto& labels = trie.child_labels;
  const auto& targets = trie.child_transitions;

  // Breadth-first in edge order: `order` is both the queue and the record to
  // node map. Each node's first child is known once the nodes before it
  // have pushed theirs.
  std::vector<std::uint32_t> order;
  order.reserve(n);
  std::vector<Record> records;
  records.reserve(n + 1);
  std::vector<bool> seen(n, false);
  order.push_back(0);
  seen[0] = true;
  bool identity = true;
  for (std::size_t r = 0; r < order.size(); ++r) {
    const std::size_t node = order[r];
    const std::size_t begin = shifts[node];
    const std::size_t end = node + 1 < n ? shifts[node + 1] : edges;
    records.push_back(
        {r == 0 ? 0u
                : static_cast<std::uint32_t>(labels[node]) |
                      (trie.terminal[node] ? kTerminalBit : 0u),
         static_cast<std::uint32_t>(order.size())});
    if (end <= begin) continue;
    if (end > edges) return;
    for (std::size_t e = begin; e < end; ++e) {
      const std::size_t child = targets[e];
      if (child >= n) return;
      const char32_t label = labels[child];
      if (label == 0) continue;
      if (label > 0x10FFFF || (label >= 0xD800 && label <= 0xDFFF)) return;
      if (seen[child]) return;
      seen[child] = true;
      if (child != order.size()) identity = false;
      order.push_back(static_cast<std::uint32_t>(child));
    }
  }
  records.push_back({0, static_cast<std::uint32_t>(order.size())});
  records_ = std::move(records);
  if (!identity) original_ = std::move(order);
}

}  // namespace tessaloom::prefix::matcher
