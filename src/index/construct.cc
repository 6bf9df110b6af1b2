#include "index/construct.h"

#include <cstring>
#include <string>
#include <utility>

#include "builder/propagate.h"
#include "common/fault.h"
#include "common/messages.h"

namespace tessaloom::index {

using common::InvalidInput;
using common::PodArray;
using payload::PayloadTable;
using prefix::trie::VideoIds;

Construction::Construction(Shifts node_shifts, Labels child_labels, std::size_t payload_count,
                           Transitions child_transitions) {
  const std::size_t n = child_labels.size();
  if (node_shifts.size() != n) {
    throw InvalidInput(common::messages::node_shifts_length(node_shifts.size(), n));
  }
  if (payload_count != n) {
    throw InvalidInput(common::messages::payloads_length(payload_count, n));
  }
  for (std::size_t e = 0; e < child_transitions.size(); ++e) {
    if (child_transitions[e] >= n) {
      throw InvalidInput(
          common::messages::child_transition_out_of_range(e, child_transitions[e], n));
    }
  }
  trie_.node_shifts = std::move(node_shifts);
  trie_.child_labels = std::move(child_labels);
  trie_.child_transitions = std::move(child_transitions);
  trie_.terminal.reserve(n);
  supplied_.reserve(n, 0);
}

void Construction::add_absent_payload() {
  trie_.terminal.push_back(0);
  supplied_.push_absent();
}

void Construction::add_payload(std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
                               std::span<const std::uint32_t> video_counts) {
  if (video_ids.size() != video_counts.size()) {
    throw InvalidInput(common::messages::kPayloadLengthMismatch);
  }
  trie_.terminal.push_back(1);
  supplied_.push({total_count, video_ids, video_counts});
}

Index Construction::finish(std::span<const std::vector<std::uint8_t>> video_index,
                           std::uint64_t video_top_n) && {
  bool all16 = true, all4 = true;
  for (const auto& id : video_index) {
    all16 = all16 && id.size() == 16;
    all4 = all4 && id.size() == 4;
  }
  if (video_index.empty() || all16) {
    PodArray<prefix::trie::Uuid> uuids;
    uuids.resize_for_overwrite(video_index.size());
    for (std::size_t v = 0; v < video_index.size(); ++v) {
      std::memcpy(uuids[v].data(), video_index[v].data(), 16);
    }
    trie_.videos = VideoIds(std::move(uuids));
  } else if (all4) {
    PodArray<std::uint32_t> ints;
    ints.resize_for_overwrite(video_index.size());
    for (std::size_t v = 0; v < video_index.size(); ++v) {
      const auto& b = video_index[v];
      ints[v] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
                std::uint32_t{b[3]} << 24;
    }
    trie_.videos = VideoIds(std::move(ints));
  } else {
    throw InvalidInput(common::messages::kMixedVideoIndex);
  }
  trie_.payloads = builder::propagate(trie_, supplied_, static_cast<std::size_t>(video_top_n),
                                      video_index.size());
  supplied_ = PayloadTable();
  return Index(std::move(trie_));
}

}  // namespace tessaloom::index
