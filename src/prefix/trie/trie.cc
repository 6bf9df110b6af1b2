#include "prefix/trie/trie.h"

#include <algorithm>
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

namespace {

struct Entry {
  std::uint32_t id;
  std::uint64_t total;
};

constexpr std::uint64_t kMaxU32 = 0xFFFFFFFFu;

// True when the entries are ordered as a merge leaves them: counts
// descending, equal counts by ascending id.
bool in_merged_order(PayloadView p) {
  for (std::size_t k = 1; k < p.video_ids.size(); ++k) {
    const std::uint32_t a = p.video_counts[k - 1], b = p.video_counts[k];
    if (a < b || (a == b && p.video_ids[k - 1] >= p.video_ids[k])) return false;
  }
  return true;
}

void require_parallel(PayloadView p) {
  if (p.video_counts.size() < p.video_ids.size()) {
    throw InternalFault("payload has " + std::to_string(p.video_ids.size()) +
                        " video ids but only " +
                        std::to_string(p.video_counts.size()) + " counts");
  }
}

}  // namespace

void Trie::propagate(const PayloadTable& supplied, std::size_t top_n) {
  const std::size_t n = node_count();
  if (supplied.size() != n) {
    throw InternalFault("payloads has " + std::to_string(supplied.size()) +
                        " entries for " + std::to_string(n) + " nodes");
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
  std::vector<PayloadView> sources;
  std::vector<Entry> entries;
  Payload acc;

  auto finished_view = [&](std::size_t c) { return *finished.get(n - 1 - c); };

  for (std::size_t i = n; i-- > 0;) {
    const EdgeRange range = edge_range(i);
    const PayloadView own = supplied.get(i).value_or(PayloadView{});

    // Folding the children one after the other is the same as summing all
    // entries per video at once and ordering the sums, as long as no sum
    // passes 2^32-1 (no intermediate count was saturated). Gather the sources
    // and take that short way, falling back to one merge per child edge.
    sources.clear();
    for (std::size_t e = range.begin; e < range.end; ++e) {
      const std::size_t c = child_transitions[e];
      if (c == i) continue;
      if (c >= n) throw_out_of_range("child_labels", c, n);
      sources.push_back(c > i ? finished_view(c)
                              : supplied.get(c).value_or(PayloadView{}));
    }

    std::uint64_t total = own.total_count;
    for (const PayloadView& s : sources) total += s.total_count;
    acc.total_count = static_cast<std::uint32_t>(std::min(total, kMaxU32));

    const std::uint32_t* out_ids;
    const std::uint32_t* out_counts;
    std::size_t out_ids_len, out_counts_len;

    if (sources.empty()) {
      // Not merged: the supplied payload as it is, only cut.
      out_ids = own.video_ids.data();
      out_ids_len = own.video_ids.size();
      out_counts = own.video_counts.data();
      out_counts_len = own.video_counts.size();
    } else {
      merged[i] = 1;
      require_parallel(own);
      for (const PayloadView& s : sources) require_parallel(s);
      const bool single_finished_child =
          own.video_ids.empty() && sources.size() == 1;
      std::size_t single_child = n;
      if (single_finished_child) {
        for (std::size_t e = range.begin; e < range.end; ++e) {
          if (child_transitions[e] != i) single_child = child_transitions[e];
        }
      }
      if (single_finished_child && single_child > i && merged[single_child] &&
          in_merged_order(sources[0])) {
        // Merging into an empty list leaves an already merged child as it is.
        const PayloadView& s = sources[0];
        acc.video_ids.assign(s.video_ids.begin(), s.video_ids.end());
        acc.video_counts.assign(s.video_counts.begin(),
                                s.video_counts.begin() + s.video_ids.size());
      } else {
        entries.clear();
        auto gather = [&](PayloadView p) {
          for (std::size_t k = 0; k < p.video_ids.size(); ++k)
            entries.push_back({p.video_ids[k], p.video_counts[k]});
        };
        gather(own);
        for (const PayloadView& s : sources) gather(s);
        std::sort(entries.begin(), entries.end(),
                  [](const Entry& a, const Entry& b) { return a.id < b.id; });
        std::size_t m = 0;
        bool saturated = false;
        for (std::size_t k = 0; k < entries.size(); ++k) {
          if (m > 0 && entries[m - 1].id == entries[k].id) {
            entries[m - 1].total += entries[k].total;
          } else {
            entries[m++] = entries[k];
          }
          saturated = saturated || entries[m - 1].total > kMaxU32;
        }
        entries.resize(m);
        if (saturated) {
          // Some count passed 2^32-1: merge child by child, as the stored
          // (saturated) counts then decide later orders.
          acc.total_count = own.total_count;
          acc.video_ids.assign(own.video_ids.begin(), own.video_ids.end());
          acc.video_counts.assign(own.video_counts.begin(),
                                  own.video_counts.end());
          for (const PayloadView& s : sources) acc.merge_from(s);
        } else {
          std::sort(entries.begin(), entries.end(),
                    [](const Entry& a, const Entry& b) {
                      return a.total != b.total ? a.total > b.total
                                                : a.id < b.id;
                    });
          acc.video_ids.resize(m);
          acc.video_counts.resize(m);
          for (std::size_t k = 0; k < m; ++k) {
            acc.video_ids[k] = entries[k].id;
            acc.video_counts[k] = static_cast<std::uint32_t>(entries[k].total);
          }
        }
      }
      out_ids = acc.video_ids.data();
      out_ids_len = acc.video_ids.size();
      out_counts = acc.video_counts.data();
      out_counts_len = acc.video_counts.size();
    }

    // Cut: at most top_n entries of each list when the ids are more.
    if (out_ids_len > top_n) {
      out_ids_len = top_n;
      out_counts_len = std::min(out_counts_len, top_n);
    }
    finished.push({acc.total_count, {out_ids, out_ids_len},
                   {out_counts, out_counts_len}});
  }

  payloads = EncodedPayloads::reversed(finished);
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
