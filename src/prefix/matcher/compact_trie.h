// A derived in-memory layout of the trie for fast walks: one 8-byte record
// per node, nodes numbered breadth-first in edge order, so the children of
// record r are the contiguous records first_child(r) .. first_child(r+1)-1.
//
// It is built only when the arrays form a clean tree below the root as the
// walk sees it: every edge range and child index in range, every node reached
// along non-U+0000 labels reached exactly once (no cycle, no shared node),
// every such node with a terminal flag and a scalar-value label. Children
// labelled U+0000 are left out with their subtrees, since no walk enters
// them. On any other arrays the layout is empty and walks use the arrays
// themselves; either way the results are the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "prefix/trie/trie.h"

namespace tessaloom::prefix::matcher {

class CompactTrie {
 public:
  static constexpr std::uint32_t kTerminalBit = 0x80000000u;

  struct Record {
    std::uint32_t label_terminal;  // code point, kTerminalBit when terminal
    std::uint32_t first_child;     // record number of the first child
  };

  CompactTrie() = default;
  // Derives the layout from `trie`, or an empty one when `trie` is not a
  // clean tree (see above). Linear in the reachable nodes; throws only
  // std::bad_alloc.
  explicit CompactTrie(const Trie& trie);

  // False when the trie had no nodes or was not a clean tree.
  bool usable() const { return !records_.empty(); }
  // Records of the reachable nodes plus one sentinel whose first_child ends
  // the last node's children. Record 0 is the root.
  const std::vector<Record>& records() const { return records_; }
  std::size_t node_count() const {
    return records_.empty() ? 0 : records_.size() - 1;
  }
  // The trie's node number of record r.
  std::size_t original(std::size_t r) const {
    return original_.empty() ? r : original_[r];
  }
  // One byte per record, scanned instead of the records when the query is
  // ASCII (eight times less memory to bring in): the label when it is below
  // U+0080, kNonAscii otherwise (a value that equals no ASCII character).
  static constexpr std::uint8_t kNonAscii = 0x80;
  const std::uint8_t* ascii_labels() const { return ascii_labels_.data(); }

  std::size_t memory_bytes() const {
    return records_.capacity() * sizeof(Record) +
           original_.capacity() * sizeof(std::uint32_t) +
           ascii_labels_.capacity();
  }

 private:
  void fill_ascii_labels();

  std::vector<Record> records_;
  std::vector<std::uint8_t> ascii_labels_;
  // Record number to node number; empty when they are the same (the trie was
  // already numbered breadth-first in edge order with nothing left out).
  std::vector<std::uint32_t> original_;
};

}  // namespace tessaloom::prefix::matcher
