#include "prefix/trie/trie.h"

#include <string>

namespace tessaloom::prefix::trie {

using common::InternalFault;

void TrieArrays::throw_range_past_edges(std::size_t i, std::size_t end) const {
  throw InternalFault("edge range of node " + std::to_string(i) + " ends at " +
                      std::to_string(end) + ", past the edge count " +
                      std::to_string(edge_count()));
}

}  // namespace tessaloom::prefix::trie
