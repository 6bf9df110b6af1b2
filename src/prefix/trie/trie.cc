#include "prefix/trie/trie.h"

#include <string>

namespace tessaloom::prefix::trie {

using common::checked_at;
using common::InternalFault;

EdgeRange TrieArrays::edge_range(std::size_t i) const {
  const std::size_t begin = checked_at(node_shifts, i, "node_shifts");
  const std::size_t end = i + 1 < node_shifts.size() ? node_shifts[i + 1] : edge_count();
  if (end <= begin) return {begin, begin};
  if (end > edge_count()) {
    throw InternalFault("edge range of node " + std::to_string(i) + " ends at " +
                        std::to_string(end) + ", past the edge count " +
                        std::to_string(edge_count()));
  }
  return {begin, end};
}

}  // namespace tessaloom::prefix::trie
