// The index: a character trie held as flat arrays, with one optional payload
// per node and the external ids of the videos the payloads number. Built once
// (construction from arrays, or restoring saved bytes) and read-only after.
//
// Addressing: node i's children are child_transitions[e] for e in
// [node_shifts[i], end), end being node_shifts[i+1], or the edge count for the
// last node; an end not above the start means no children. The label of a
// child is child_labels[child]. Nothing here assumes the arrays describe a
// tree; every read that a walk makes is bounds-checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/fault.h"
#include "common/pod_array.h"
#include "payload/encoded_payloads.h"
#include "payload/payload.h"
#include "prefix/trie/video_ids.h"

namespace tessaloom {

struct EdgeRange {
  std::size_t begin = 0;
  std::size_t end = 0;  // begin when the node has no children
};

struct Trie {
  // The fields in the order they are saved (the video ids are saved as
  // three: the UUID table, the integer table and the kind).
  PodArray<std::uint32_t> node_shifts;
  PodArray<char32_t> child_labels;
  PodArray<std::uint32_t> child_transitions;
  EncodedPayloads payloads;
  VideoIds videos;
  PodArray<std::uint8_t> terminal;  // 0 or 1 per node

  std::size_t node_count() const { return child_labels.size(); }
  std::size_t edge_count() const { return child_transitions.size(); }

  // The edge range of node i. Throws InternalFault when i has no
  // node_shifts entry or the range reaches past the edge count.
  EdgeRange edge_range(std::size_t i) const;
  // The node that edge e leads to, checked against the edge count.
  std::size_t child(std::size_t e) const {
    return checked_at(child_transitions, e, "child_transitions");
  }
  char32_t label(std::size_t node) const { return checked_at(child_labels, node, "child_labels"); }
  bool is_terminal(std::size_t node) const { return checked_at(terminal, node, "terminal") != 0; }

  bool operator==(const Trie&) const = default;
};

}  // namespace tessaloom
