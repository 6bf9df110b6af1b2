// A derived in-memory layout of the trie for fast walks. Nodes are numbered
// breadth-first in edge order (record numbers), so the children of each
// record are contiguous records, and each record is held in parallel arrays:
//
// - where its children start (4 bytes), read for every visited node that
//   survives the prune. For an index numbered this way already (the builder
//   numbers every index so), these are the trie's own node_shifts;
// - one label byte: the label when it is ASCII, 0 otherwise (no label is
//   U+0000), with kTerminalByte set when the node ends a term. An ASCII query
//   scans these alone, so a block of siblings costs one byte each. The array
//   is followed by kBytePadding zero bytes, so that a block can be read 16
//   bytes at a time without reading past it;
// - the label's code point (4 bytes), read only for the labels outside ASCII
//   and for queries outside ASCII;
// - a 16-bit signature of its children's labels (2 bytes): bit
//   signature_bit(b) set for the label byte b of each child. A parent with
//   no edit left wants a child of one of a few labels; when none of their
//   bits is set, it has no such child and its block is not read at all.
//   Siblings' signatures share a cache line, so this costs a walk one line
//   per block where locating the children of each costs two.
//
// It is built only when the arrays form a clean tree below the root as the
// walk sees it: every edge range and child index in range, every node reached
// along non-U+0000 labels reached exactly once (no cycle, no shared node),
// every such node with a terminal flag and a scalar-value label. Children
// labelled U+0000 are left out with their subtrees, since no walk enters
// them. On any other arrays the layout is empty and walks use the arrays
// themselves; either way the results are the same.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/pod_array.h"
#include "prefix/trie/trie.h"

namespace tessaloom::prefix::matcher {

namespace compact_layout_detail {

// Which of the 16 signature bits each ASCII byte sets. A signature rules a
// wanted child out only when no sibling shares that child's bit, so the
// letters that label most nodes of English terms (s, e, i, n, a, l, t, o,
// r; and the apostrophe of the plural possessive, in word lists) have a
// bit each, and the rarer letters share the other six, grouped so that each
// shared bit carries a like share of labels. A capital letter takes its
// small letter's bit, and a digit one of the shared bits; byte 0 (every
// label outside ASCII) takes the bit of the rare y, v, z and j; other bytes
// their low four bits.
constexpr std::array<std::uint8_t, 128> signature_bits() {
  std::array<std::uint8_t, 128> bits{};
  for (std::size_t b = 0; b < 128; ++b) bits[b] = static_cast<std::uint8_t>(b & 15);
  const char* const groups[16] = {"s", "e", "'",    "i",    "n",   "a",  "l",  "t",
                                  "o", "r", "dfwq", "yvzj", "ckx", "gb", "up", "mh"};
  for (std::uint8_t bit = 0; bit < 16; ++bit) {
    for (const char* c = groups[bit]; *c != 0; ++c) {
      bits[static_cast<std::uint8_t>(*c)] = bit;
      if (*c >= 'a' && *c <= 'z') bits[static_cast<std::uint8_t>(*c - 'a' + 'A')] = bit;
    }
  }
  for (std::uint8_t digit = 0; digit < 10; ++digit) {
    bits['0' + digit] = static_cast<std::uint8_t>(10 + digit % 6);
  }
  bits[0] = 11;
  return bits;
}

}  // namespace compact_layout_detail

class CompactLayout {
 public:
  static constexpr std::array<std::uint8_t, 128> kSignatureBits =
      compact_layout_detail::signature_bits();
  static constexpr std::uint8_t kTerminalByte = 0x80;
  // Zero bytes after the last label byte: a 16-byte load starting at any
  // record stays inside the array.
  static constexpr std::size_t kBytePadding = 15;

  // The signature bit of a child's label byte (terminal bit ignored). Labels
  // outside ASCII all share the bit of byte 0.
  static constexpr std::uint16_t signature_bit(std::uint8_t byte) {
    return static_cast<std::uint16_t>(1u << kSignatureBits[byte & 0x7F]);
  }

  CompactLayout() = default;
  // Derives the layout from `trie`, or an empty one when `trie` is not a
  // clean tree (see above). Linear in the reachable nodes; throws only
  // std::bad_alloc.
  explicit CompactLayout(const trie::TrieArrays& trie);

  // False when the trie had no nodes or was not a clean tree.
  bool usable() const { return label_bytes_.size() != 0; }
  std::size_t node_count() const { return usable() ? label_bytes_.size() - kBytePadding : 0; }

  // node_count() entries, given the trie the layout was derived from: the
  // children of record r are the records starts[r] + 1 up to starts[r+1] + 1
  // (the last record's up to node_count()); record 0 is the root. When the
  // records are the trie's own nodes, these are its node_shifts, not a copy.
  const std::uint32_t* edge_starts(const trie::TrieArrays& trie) const {
    return starts_.size() == 0 ? trie.node_shifts.data() : starts_.data();
  }
  // node_count() + kBytePadding entries, the padding zero.
  const std::uint8_t* label_bytes() const { return label_bytes_.data(); }
  // node_count() entries: the signature of each record's children.
  const std::uint16_t* child_signatures() const { return signatures_.data(); }
  // The label of every record but the root (record 0), given the trie the
  // layout was derived from: when the records are the trie's own nodes, the
  // labels are the trie's label array, not a copy.
  const char32_t* labels(const trie::TrieArrays& trie) const {
    return original_.size() == 0 ? trie.child_labels.data() : labels_.data();
  }

  // The trie's node number of record r.
  std::size_t original(std::size_t r) const { return original_.size() == 0 ? r : original_[r]; }

 private:
  common::PodArray<std::uint32_t> starts_;  // empty when the trie's node_shifts serve
  common::PodArray<std::uint8_t> label_bytes_;
  common::PodArray<std::uint16_t> signatures_;
  // Record number to node number, and the records' labels; both empty when
  // the records are the trie's nodes (it was already numbered breadth-first
  // in edge order with nothing left out).
  common::PodArray<std::uint32_t> original_;
  common::PodArray<char32_t> labels_;
};

}  // namespace tessaloom::prefix::matcher
