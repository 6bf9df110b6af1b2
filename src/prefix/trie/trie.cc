#include "prefix/trie/trie.h"

#include <utility>

namespace tessaloom {

EdgeRange Trie::edge_range(std::size_t i) const {
  const std::size_t begin = checked_at(node_shifts, i, "node_shifts");
  const std::size_t end =
      i + 1 < node_shifts.size() ? node_shifts[i + 1] : edge_count();
  if (end <= begin) return {begin, begin};
  if (end > edge_count()) {
    throw InternalFault("edge range of node " + std::to_string(i) + " ends at " +
                        std::to_string(end) + ", past the edge count " +
                        std::to_string(edge_count()));
  }
  return {begin, end};
}

void Trie::propagate(std::size_t top_n) {
  const std::size_t n = node_count();
  if (payloads.size() != n) {
    throw InternalFault("payloads has " + std::to_string(payloads.size()) +
                        " entries for " + std::to_string(n) + " nodes");
  }
  if (n == 0) return;

  // Finished payloads are appended in the order they are finished (node n-1
  // first), so node c sits at position n-1-c. A child numbered above its
  // parent is read from there; one numbered below has not been worked on yet
  // and gives its supplied payload. The table is swapped in only at the end,
  // so a fault leaves the trie as it was.
  PayloadTable finished;
  finished.reserve(n, payloads.entry_count());
  Payload acc;
  for (std::size_t i = n; i-- > 0;) {
    const EdgeRange range = edge_range(i);
    if (auto own = payloads.get(i)) {
      acc.total_count = own->total_count;
      acc.video_ids.assign(own->video_ids.begin(), own->video_ids.end());
      acc.video_counts.assign(own->video_counts.begin(),
                              own->video_counts.end());
    } else {
      acc.total_count = 0;
      acc.video_ids.clear();
      acc.video_counts.clear();
    }
    for (std::size_t e = range.begin; e < range.end; ++e) {
      const std::size_t c = child_transitions[e];
      if (c == i) continue;
      if (c >= n) throw_out_of_range("child_labels", c, n);
      const std::optional<PayloadView> from =
          c > i ? finished.get(n - 1 - c) : payloads.get(c);
      acc.merge_from(from.value_or(PayloadView{}));
    }
    if (acc.video_ids.size() > top_n) {
      acc.video_ids.resize(top_n);
      if (acc.video_counts.size() > top_n) acc.video_counts.resize(top_n);
    }
    finished.push(acc.view());
  }

  PayloadTable ordered;
  ordered.reserve(n, finished.entry_count());
  for (std::size_t pos = n; pos-- > 0;) ordered.push(*finished.get(pos));
  payloads = std::move(ordered);
}

std::size_t Trie::memory_bytes() const {
  return node_shifts.capacity() * sizeof(std::uint32_t) +
         child_labels.capacity() * sizeof(char32_t) +
         child_transitions.capacity() * sizeof(std::uint32_t) +
         payloads.memory_bytes() + video_uuids.capacity() * sizeof(Uuid) +
         video_int32_ids.capacity() * sizeof(std::uint32_t) +
         terminal.capacity();
}

}  // namespace tessaloom
