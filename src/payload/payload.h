// Payloads: per node, a total occurrence count and a list of (video number,
// count) entries. `Payload` is the owning value used while merging;
// `PayloadTable` holds one optional payload per node in flat arrays (a few
// bytes per node plus 8 per entry instead of two heap vectors per node), for
// building and propagating. A finished index keeps its payloads encoded
// (encoded_payloads.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/pod_array.h"

namespace tessaloom::payload {

// A read-only look at a payload stored elsewhere. `video_ids` and
// `video_counts` are parallel; only a restored index can have them differ in
// length, and readers must check before pairing them (require_parallel).
struct PayloadView {
  std::uint32_t total_count = 0;
  std::span<const std::uint32_t> video_ids;
  std::span<const std::uint32_t> video_counts;
};

[[noreturn]] void throw_not_parallel(std::uint64_t ids, std::uint64_t counts,
                                     std::optional<std::size_t> node);

// The check before pairing a payload's ids with its counts: throws
// InternalFault when it has fewer counts than ids, naming the node when it is
// given ("payload of node N has ..."), else "payload has ...".
inline void require_parallel(std::uint64_t ids, std::uint64_t counts,
                             std::optional<std::size_t> node = std::nullopt) {
  if (counts < ids) throw_not_parallel(ids, counts, node);
}
inline void require_parallel(PayloadView p) {
  require_parallel(p.video_ids.size(), p.video_counts.size());
}

// Working storage of merge_entries, kept by a caller that merges many times.
struct MergeScratch {
  struct Entry {
    std::uint32_t id;
    std::uint64_t total;
  };
  std::vector<Entry> entries;

  // Tables by video number below `videos`, through which merges whose
  // entries all lie below it group them by video in one pass instead of
  // sorting them by video number first (8 bytes per video).
  void use_tables(std::size_t videos) {
    seen.assign(videos, 0);
    where.resize(videos);
    stamp = 0;
  }
  std::vector<std::uint32_t> seen;   // the stamp of the merge that last saw the video
  std::vector<std::uint32_t> where;  // where that merge keeps its entry
  std::uint32_t stamp = 0;
};

// The merge of payloads' entries: grouped by video number and summed in 64
// bits, then ordered by summed count, largest first, equal sums by ascending
// video number; each sum is stored saturated at 2^32-1. Writes the result to
// `ids` and `counts` (which may hold one of the sources: every source is read
// before either is written). Returns false when a sum passed 2^32-1. Throws
// InternalFault, writing nothing, when a source has fewer counts than ids.
bool merge_entries(std::span<const PayloadView> sources, std::vector<std::uint32_t>& ids,
                   std::vector<std::uint32_t>& counts, MergeScratch& scratch);

struct Payload {
  std::uint32_t total_count = 0;
  std::vector<std::uint32_t> video_ids;
  std::vector<std::uint32_t> video_counts;

  PayloadView view() const { return {total_count, video_ids, video_counts}; }
  static Payload from_view(PayloadView v);

  // Adds `other` into this payload: total counts add up (saturating at
  // 2^32-1) and the entries of both are merged (merge_entries). Throws
  // InternalFault, leaving this payload unchanged, when either side has
  // fewer counts than ids.
  void merge_from(PayloadView other);

  bool operator==(const Payload&) const = default;
};

// Where each node's entries end: a non-decreasing sequence of 64-bit
// offsets, held in 32 bits each. Value i is low_[i] plus 2^32 times the
// number of carries at or before i, carries_ listing, for each multiple of
// 2^32 that the offsets reach, the first index that reaches it. So a table
// of fewer than 2^32 entries (any index that fits in memory today) costs 4
// bytes per node, and a larger one still loads.
class EntryEnds {
 public:
  std::size_t size() const { return low_.size(); }
  std::uint64_t operator[](std::size_t i) const {
    const std::uint64_t low = low_[i];
    return carries_.empty() ? low : high(i) << 32 | low;
  }
  void reserve(std::size_t n) { low_.reserve(n); }
  // A hint to fetch the line of value i (nothing when i >= size()).
  void prefetch(std::size_t i) const {
    if (i < low_.size()) __builtin_prefetch(low_.data() + i);
  }
  // Appends v, which must not be below the last value. Strong guarantee.
  void push_back(std::uint64_t v);
  // Sets the size to n; the values must then be set, in index order, with
  // set() (used while decoding).
  void resize_for_overwrite(std::size_t n) { low_.resize_for_overwrite(n); }
  // n entries in a new block, each to be set next.
  void assign_for_overwrite(std::size_t n) { low_.assign_for_overwrite(n); }
  void set(std::size_t i, std::uint64_t v) {
    low_[i] = static_cast<std::uint32_t>(v);
    if ((v >> 32) != carries_.size()) add_carries(i, v);
  }

 private:
  std::uint64_t high(std::size_t i) const;
  void add_carries(std::size_t i, std::uint64_t v);

  common::PodArray<std::uint32_t> low_;
  std::vector<std::size_t> carries_;
};

// One optional payload per node, in node order, stored as flat arrays, each
// present payload with one count per video id. Entries of node i are
// ids_[ends[i-1] .. ends[i]) and the same for counts (with an implicit 0
// before node 0).
class PayloadTable {
 public:
  std::size_t size() const { return present_.size(); }
  // The payload of node i, or nullopt when it is absent. i must be < size().
  std::optional<PayloadView> get(std::size_t i) const;

  void reserve(std::size_t nodes, std::size_t entries);
  // The push functions grow the arrays geometrically, so a table filled
  // without reserve() is still built in linear time. Each has the strong
  // guarantee: when memory runs out the table is left as it was.
  void push_absent();
  // Keeps the first video_ids.size() counts; throws InternalFault, changing
  // nothing, when there are fewer.
  void push(PayloadView p);
  // Appends a payload of n entries whose ids and counts are written by the
  // caller into the returned spans.
  struct Slot {
    std::span<std::uint32_t> video_ids;
    std::span<std::uint32_t> video_counts;
  };
  Slot push_uninitialized(std::uint32_t total_count, std::size_t n);

  std::size_t entry_count() const { return ids_.size(); }

 private:
  common::PodArray<std::uint8_t> present_;
  common::PodArray<std::uint32_t> total_;
  EntryEnds end_;
  common::PodArray<std::uint32_t> ids_;
  common::PodArray<std::uint32_t> counts_;
};

inline std::optional<PayloadView> PayloadTable::get(std::size_t i) const {
  if (!present_[i]) return std::nullopt;
  const std::uint64_t begin = i == 0 ? 0 : end_[i - 1];
  const std::uint64_t n = end_[i] - begin;
  return PayloadView{total_[i], {ids_.data() + begin, n}, {counts_.data() + begin, n}};
}

}  // namespace tessaloom::payload
