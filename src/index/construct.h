// Construction of an index from the six arrays of from_internal_data_v2, as
// plain values. The checks run in a fixed order, each refusal an InvalidInput
// whose message names the check:
//
//   1. node_shifts, then the payload count, against child_labels' length;
//   2. every child transition against the node count;
//   3. each present payload, in node order: as many counts as ids;
//   4. the video ids: all 16 bytes (UUIDs) or all 4 bytes (little-endian
//      integers).
//
// The stages follow the order in which a caller converts its input, so that
// a caller converting payloads one at a time (the binding) reports the first
// failure of conversion or check alike. Nothing else is checked: arrays that
// are not a tree are taken as they are (queries bound their work), and an edge
// range past the edge count stops propagation with InternalFault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index/index.h"
#include "payload/payload.h"
#include "prefix/trie/trie.h"

namespace tessaloom::index {

class Construction {
 public:
  // The arrays are taken in the trie's own containers.
  using Shifts = decltype(prefix::trie::Trie::node_shifts);
  using Labels = decltype(prefix::trie::Trie::child_labels);
  using Transitions = decltype(prefix::trie::Trie::child_transitions);

  // Checks 1 and 2; `payload_count` is the length of the payloads array,
  // whose items follow through add_payload.
  Construction(Shifts node_shifts, Labels child_labels, std::size_t payload_count,
               Transitions child_transitions);

  // Node i's payload, for i = 0, 1, ... in order: absent, or present with a
  // total and lists of video numbers and counts (check 3).
  void add_absent_payload();
  void add_payload(std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
                   std::span<const std::uint32_t> video_counts);

  // Check 4, then the payloads pushed up the trie (builder::propagate), each
  // node keeping its first video_top_n entries: the index. Every payload
  // must have been added.
  Index finish(std::span<const std::vector<std::uint8_t>> video_index,
               std::uint64_t video_top_n) &&;

 private:
  prefix::trie::Trie trie_;
  payload::PayloadTable supplied_;
};

}  // namespace tessaloom::index
