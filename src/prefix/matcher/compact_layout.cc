#include "prefix/matcher/compact_layout.h"

#include <algorithm>
#include <limits>

#include "common/text.h"

namespace tessaloom::prefix::matcher {

using common::is_scalar_value;
using common::PodArray;
using trie::TrieArrays;

namespace {

std::uint8_t label_byte(char32_t label, bool terminal) {
  return static_cast<std::uint8_t>((label < 0x80 ? label : 0) |
                                   (terminal ? CompactLayout::kTerminalByte : 0));
}

// The common case in one sequential pass: an index numbered breadth-first
// with its edges listed in node order, so that edge e leads to node e+1 and
// the node ranges partition the edges. Every node but the root is then the
// target of exactly one edge, from a lower-numbered parent (checked below),
// so the arrays are a tree, the records are the nodes themselves and the
// trie's node_shifts are the records' edge starts.
bool fill_in_place(const TrieArrays& trie, PodArray<std::uint8_t>& bytes) {
  const std::size_t n = trie.node_count();
  if (trie.edge_count() + 1 != n || trie.node_shifts[0] != 0) return false;
  // Written without early exits or branches, so that the compiler can do
  // each pass a vector at a time: it runs on every load.
  const std::uint32_t* const shifts = trie.node_shifts.data();
  const std::uint32_t* const targets = trie.child_transitions.data();
  const char32_t* const labels = trie.child_labels.data();
  const std::uint8_t* const terminal = trie.terminal.data();
  const auto last = static_cast<std::uint32_t>(n - 1);
  std::uint32_t bad = 0;
  for (std::uint32_t e = 0; e < last; ++e) bad |= targets[e] ^ (e + 1);
  if (bad != 0) return false;
  // Ranges in order, each starting at or after its node's number, so that
  // the parent of node e+1 is numbered at most e; the last node's range
  // empty.
  for (std::uint32_t i = 0; i < last; ++i) {
    const std::uint32_t begin = shifts[i], end = shifts[i + 1];
    bad |= static_cast<std::uint32_t>(end < begin) |
           (static_cast<std::uint32_t>(begin != end) & static_cast<std::uint32_t>(begin < i));
  }
  bad |= static_cast<std::uint32_t>(shifts[last] != last);
  if (bad != 0) return false;
  bytes.assign_for_overwrite(n + CompactLayout::kBytePadding);
  std::uint8_t* const b = bytes.data();
  // Labels below the root: scalar values other than U+0000.
  b[0] = 0;
  for (std::size_t i = 1; i < n; ++i) {
    const std::uint32_t c = labels[i];
    bad |= static_cast<std::uint32_t>((c == 0) | !is_scalar_value(c));
    b[i] = static_cast<std::uint8_t>((c < 0x80 ? c : 0) |
                                     (terminal[i] != 0 ? CompactLayout::kTerminalByte : 0));
  }
  std::fill_n(b + n, CompactLayout::kBytePadding, std::uint8_t{0});
  return bad == 0;
}

// The signature of each of the n records' children, from their edge starts
// and the label bytes: one pass over the records in order, reading the label
// bytes in order too.
PodArray<std::uint16_t> signatures_of(const std::uint32_t* starts, std::size_t n,
                                      const std::uint8_t* bytes) {
  PodArray<std::uint16_t> sigs;
  sigs.assign_for_overwrite(n);
  std::uint16_t* const out = sigs.data();
  // Most records have at most two children, whose bits are taken without
  // a branch (the byte after a block is readable: padding or the next
  // record); only larger blocks loop over the rest.
  for (std::size_t r = 0; r < n; ++r) {
    const std::uint32_t begin = starts[r] + 1;
    const std::uint32_t end = r + 1 < n ? starts[r + 1] + 1 : static_cast<std::uint32_t>(n);
    const std::uint32_t len = end - begin;
    const auto first = static_cast<std::uint16_t>(-static_cast<int>(len >= 1));
    const auto second = static_cast<std::uint16_t>(-static_cast<int>(len >= 2));
    std::uint16_t sig = (CompactLayout::signature_bit(bytes[begin]) & first) |
                        (CompactLayout::signature_bit(bytes[begin + 1]) & second);
    if (len > 2) [[unlikely]] {
      for (std::uint32_t c = begin + 2; c < end; ++c) sig |= CompactLayout::signature_bit(bytes[c]);
    }
    out[r] = sig;
  }
  return sigs;
}

}  // namespace

CompactLayout::CompactLayout(const TrieArrays& trie) {
  const std::size_t n = trie.node_count();
  const std::size_t edges = trie.edge_count();
  // Record numbers must fit in 32 bits.
  if (n == 0 || n >= std::numeric_limits<std::uint32_t>::max() || trie.node_shifts.size() != n ||
      trie.terminal.size() < n) {
    return;
  }
  {
    PodArray<std::uint8_t> bytes;
    if (fill_in_place(trie, bytes)) {
      signatures_ = signatures_of(trie.node_shifts.data(), n, bytes.data());
      label_bytes_ = std::move(bytes);
      return;
    }
  }
  const auto& shifts = trie.node_shifts;
  const auto& labels = trie.child_labels;
  const auto& targets = trie.child_transitions;

  // Breadth-first in edge order: `order` is both the queue and the record to
  // node map. Each node's first child is known once the nodes before it
  // have pushed theirs.
  PodArray<std::uint32_t> order;
  order.reserve(n);
  PodArray<std::uint32_t> starts;
  starts.reserve(n);
  std::vector<std::uint8_t> seen(n, 0);
  order.push_back(0);
  seen[0] = true;
  bool identity = true;
  for (std::size_t r = 0; r < order.size(); ++r) {
    const std::size_t node = order[r];
    const std::size_t begin = shifts[node];
    const std::size_t end = node + 1 < n ? shifts[node + 1] : edges;
    starts.push_back(static_cast<std::uint32_t>(order.size() - 1));
    if (end <= begin) continue;
    if (end > edges) return;
    for (std::size_t e = begin; e < end; ++e) {
      const std::size_t child = targets[e];
      if (child >= n) return;
      const char32_t label = labels[child];
      if (label == 0) continue;
      if (!is_scalar_value(label)) return;
      if (seen[child]) return;
      seen[child] = 1;
      if (child != order.size()) identity = false;
      order.push_back(static_cast<std::uint32_t>(child));
    }
  }
  const std::size_t m = order.size();
  PodArray<std::uint8_t> bytes(m + kBytePadding, 0);
  for (std::size_t r = 1; r < m; ++r) {
    bytes[r] = label_byte(labels[order[r]], trie.terminal[order[r]] != 0);
  }
  if (!identity) {
    PodArray<char32_t> codes(m, 0);
    for (std::size_t r = 1; r < m; ++r) codes[r] = labels[order[r]];
    labels_ = std::move(codes);
    original_ = std::move(order);
  }
  signatures_ = signatures_of(starts.data(), m, bytes.data());
  starts_ = std::move(starts);
  label_bytes_ = std::move(bytes);
}

}  // namespace tessaloom::prefix::matcher
