#include "prefix/trie/trie.h"

#include <algorithm>
#include <utility>

#include "common/interrupt.h"

namespace tessaloom {

EdgeRange Trie::edge_range(std::size_t i) const {
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

namespace {

// True when the entries are ordered as a merge leaves them: counts
// descending, equal counts by ascending id.
bool in_merged_order(PayloadView p) {
  for (std::size_t k = 1; k < p.video_ids.size(); ++k) {
    const std::uint32_t a = p.video_counts[k - 1], b = p.video_counts[k];
    if (a < b || (a == b && p.video_ids[k - 1] >= p.video_ids[k])) return false;
  }
  return true;
}

}  // namespace

void Trie::propagate(const PayloadTable& supplied, std::size_t top_n) {
  const std::size_t n = node_count();
  if (supplied.size() != n) {
    throw InternalFault("payloads has " + std::to_string(supplied.size()) + " entries for " +
                        std::to_string(n) + " nodes");
  }
  if (n == 0) {
    payloads = EncodedPayloads();
    return;
  }

  // Finished payloads are appended in the order they are finished (node n-1
  // first), so node c sits at position n-1-c. A child numbered above its
  // parent is read from there; one numbered below has not been worked on yet
  // and gives its supplied payload. The table is swapped in only at the end,
  // so a fault leaves the trie as it was.
  PayloadTable finished;
  finished.reserve(n, supplied.entry_count());
  std::vector<std::uint8_t> merged(n, 0);  // node went through a merge
  std::vector<PayloadView> sources;        // the node's own payload first
  Payload acc;
  Poll poll;

  for (std::size_t i = n; i-- > 0;) {
    poll();
    const EdgeRange range = edge_range(i);
    sources.assign(1, supplied.get(i).value_or(PayloadView{}));
    std::size_t last_child = n;
    for (std::size_t e = range.begin; e < range.end; ++e) {
      const std::size_t c = child_transitions[e];
      if (c == i) continue;
      if (c >= n) throw_out_of_range("child_labels", c, n);
      sources.push_back(c > i ? *finished.get(n - 1 - c) : supplied.get(c).value_or(PayloadView{}));
      last_child = c;
    }
    const PayloadView own = sources[0];
    PayloadView out = own;  // not merged: the supplied payload, only cut
    if (sources.size() > 1) {
      merged[i] = 1;
      std::uint64_t total = 0;
      for (const PayloadView& s : sources) total += s.total_count;
      acc.total_count = static_cast<std::uint32_t>(std::min<std::uint64_t>(total, 0xFFFFFFFFu));
      if (own.video_ids.empty() && sources.size() == 2 && last_child > i && merged[last_child] &&
          in_merged_order(sources[1])) {
        // Merging into an empty list leaves an already merged child as it is.
        acc.video_ids.assign(sources[1].video_ids.begin(), sources[1].video_ids.end());
        acc.video_counts.assign(sources[1].video_counts.begin(), sources[1].video_counts.end());
      } else if (!merge_entries(sources, acc.video_ids, acc.video_counts)) {
        // Folding the children one after the other is the same as summing
        // all entries at once, as long as no sum passes 2^32-1. One did: merge
        // child by child, as the stored (saturated) counts then decide later
        // orders.
        acc = Payload::from_view(own);
        for (std::size_t s = 1; s < sources.size(); ++s) acc.merge_from(sources[s]);
      }
      out = acc.view();
    }
    // Cut: at most top_n entries.
    if (out.video_ids.size() > top_n) {
      out.video_ids = out.video_ids.first(top_n);
      out.video_counts = out.video_counts.first(top_n);
    }
    finished.push(out);
  }

  payloads = EncodedPayloads::reversed(finished);
}

}  // namespace tessaloom
