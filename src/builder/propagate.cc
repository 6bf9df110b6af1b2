#include "builder/propagate.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/fault.h"
#include "common/interrupt.h"

namespace tessaloom::builder {

using payload::EncodedPayloads;
using payload::Payload;
using payload::PayloadTable;
using payload::PayloadView;

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

EncodedPayloads propagate(const prefix::trie::Trie& trie, const PayloadTable& supplied,
                          std::size_t top_n, std::size_t videos) {
  const std::size_t n = trie.node_count();
  if (supplied.size() != n) {
    throw common::InternalFault("payloads has " + std::to_string(supplied.size()) +
                                " entries for " + std::to_string(n) + " nodes");
  }
  if (n == 0) return EncodedPayloads();

  // Finished payloads are appended in the order they are finished (node n-1
  // first), so node c sits at position n-1-c. A child numbered above its
  // parent is read from there; one numbered below has not been worked on yet
  // and gives its supplied payload.
  PayloadTable finished;
  finished.reserve(n, supplied.entry_count());
  // Whether the node went through a merge and its finished entries are in
  // the order a merge leaves them.
  std::vector<std::uint8_t> ordered(n, 0);
  std::vector<PayloadView> sources;  // the node's own payload first
  Payload acc;
  payload::MergeScratch scratch;
  scratch.use_tables(videos);
  common::Poll poll;
  const prefix::trie::TrieArrays arrays = trie.arrays();  // made once, not per node

  for (std::size_t i = n; i-- > 0;) {
    poll();
    const prefix::trie::EdgeRange range = arrays.edge_range(i);
    sources.assign(1, supplied.get(i).value_or(PayloadView{}));
    std::size_t last_child = n;
    for (std::size_t e = range.begin; e < range.end; ++e) {
      const std::size_t c = trie.child_transitions[e];
      if (c == i) continue;
      if (c >= n) common::throw_out_of_range("child_labels", c, n);
      sources.push_back(c > i ? *finished.get(n - 1 - c) : supplied.get(c).value_or(PayloadView{}));
      last_child = c;
    }
    const PayloadView own = sources[0];
    PayloadView out = own;  // not merged: the supplied payload, only cut
    bool folded = false;
    if (sources.size() > 1) {
      std::uint64_t total = 0;
      for (const PayloadView& s : sources) total += s.total_count;
      acc.total_count = static_cast<std::uint32_t>(std::min<std::uint64_t>(total, 0xFFFFFFFFu));
      if (own.video_ids.empty() && sources.size() == 2 && last_child > i && ordered[last_child]) {
        // Merging into an empty list leaves an already merged child as it
        // is: its entries are copied as they are, cut.
        const std::size_t m = std::min(sources[1].video_ids.size(), top_n);
        const PayloadTable::Slot slot = finished.push_uninitialized(acc.total_count, m);
        const PayloadView child = *finished.get(n - 1 - last_child);  // the push may move it
        std::copy_n(child.video_ids.begin(), m, slot.video_ids.begin());
        std::copy_n(child.video_counts.begin(), m, slot.video_counts.begin());
        ordered[i] = 1;
        continue;
      }
      if (payload::merge_entries(sources, acc.video_ids, acc.video_counts, scratch)) {
        ordered[i] = 1;  // no count saturated: ids are unique, in count order
      } else {
        // Folding the children one after the other is the same as summing
        // all entries at once, as long as no sum passes 2^32-1. One did: merge
        // child by child, as the stored (saturated) counts then decide later
        // orders.
        acc = Payload::from_view(own);
        for (std::size_t s = 1; s < sources.size(); ++s) acc.merge_from(sources[s]);
        folded = true;
      }
      out = acc.view();
    }
    // Cut: at most top_n entries.
    if (out.video_ids.size() > top_n) {
      out.video_ids = out.video_ids.first(top_n);
      out.video_counts = out.video_counts.first(top_n);
    }
    if (folded) ordered[i] = in_merged_order(out);
    finished.push(out);
  }

  return EncodedPayloads::reversed(finished);
}

}  // namespace tessaloom::builder
