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
#include <span>
#include <vector>

#include "common/fault.h"
#include "common/pod_array.h"
#include "payload/encoded_payloads.h"
#include "payload/payload.h"
#include "prefix/trie/video_ids.h"

namespace tessaloom::prefix::trie {

struct EdgeRange {
  std::size_t begin = 0;
  std::size_t end = 0;  // begin when the node has no children
};

// The arrays a walk reads: the trie's shape, its labels and its terminal
// flags, and nothing of the payloads or the video ids. A view: the arrays
// belong to whatever holds them (a Trie), which must outlive it.
struct TrieArrays {
  std::span<const std::uint32_t> node_shifts;
  std::span<const char32_t> child_labels;
  std::span<const std::uint32_t> child_transitions;
  std::span<const std::uint8_t> terminal;  // 0 or 1 per node

  std::size_t node_count() const { return child_labels.size(); }
  std::size_t edge_count() const { return child_transitions.size(); }

  // The edge range of node i. Throws InternalFault when i has no
  // node_shifts entry or the range reaches past the edge count. Inline, as
  // the walks ask it for every node they expand; the message is built out of
  // line.
  EdgeRange edge_range(std::size_t i) const {
    const std::size_t begin = common::checked_at(node_shifts, i, "node_shifts");
    const std::size_t end = i + 1 < node_shifts.size() ? node_shifts[i + 1] : edge_count();
    if (end <= begin) return {begin, begin};
    if (end > edge_count()) [[unlikely]]
      throw_range_past_edges(i, end);
    return {begin, end};
  }
  // The node that edge e leads to, checked against the edge count.
  std::size_t child(std::size_t e) const {
    return common::checked_at(child_transitions, e, "child_transitions");
  }
  char32_t label(std::size_t node) const {
    return common::checked_at(child_labels, node, "child_labels");
  }
  bool is_terminal(std::size_t node) const {
    return common::checked_at(terminal, node, "terminal") != 0;
  }

 private:
  [[noreturn, gnu::cold]] void throw_range_past_edges(std::size_t i, std::size_t end) const;
};

struct Trie {
  // The fields in the order they are saved (the video ids are saved as
  // three: the UUID table, the integer table and the kind).
  common::PodArray<std::uint32_t> node_shifts;
  common::PodArray<char32_t> child_labels;
  common::PodArray<std::uint32_t> child_transitions;
  payload::EncodedPayloads payloads;
  VideoIds videos;
  common::PodArray<std::uint8_t> terminal;  // 0 or 1 per node

  // The walk's arrays, viewed in place.
  TrieArrays arrays() const {
    return {{node_shifts.data(), node_shifts.size()},
            {child_labels.data(), child_labels.size()},
            {child_transitions.data(), child_transitions.size()},
            {terminal.data(), terminal.size()}};
  }

  std::size_t node_count() const { return child_labels.size(); }
  std::size_t edge_count() const { return child_transitions.size(); }
  // The checked reads of TrieArrays.
  EdgeRange edge_range(std::size_t i) const { return arrays().edge_range(i); }
  std::size_t child(std::size_t e) const { return arrays().child(e); }
  char32_t label(std::size_t node) const { return arrays().label(node); }
  bool is_terminal(std::size_t node) const { return arrays().is_terminal(node); }

  bool operator==(const Trie&) const = default;
};

}  // namespace tessaloom::prefix::trie
