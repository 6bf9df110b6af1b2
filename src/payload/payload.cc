#include "payload/payload.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "common/fault.h"

namespace tessaloom::payload {

using common::InternalFault;

namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

std::uint32_t saturate(std::uint64_t v) { return static_cast<std::uint32_t>(std::min(v, kMaxU32)); }

// Groups the sources' entries by video into scratch.entries, one entry per
// video with its summed count, in order of first appearance, through the
// tables. False when a video number is past them (entries then holds a part).
bool group_by_table(std::span<const PayloadView> sources, MergeScratch& scratch) {
  const std::size_t videos = scratch.seen.size();
  if (videos == 0) return false;
  if (++scratch.stamp == 0) {  // wrapped: stamps of old merges could match
    std::fill(scratch.seen.begin(), scratch.seen.end(), 0);
    scratch.stamp = 1;
  }
  const std::uint32_t stamp = scratch.stamp;
  std::uint32_t* const seen = scratch.seen.data();
  std::uint32_t* const where = scratch.where.data();
  auto& entries = scratch.entries;
  for (const PayloadView& s : sources) {
    for (std::size_t k = 0; k < s.video_ids.size(); ++k) {
      const std::uint32_t id = s.video_ids[k];
      if (id >= videos) return false;
      if (seen[id] == stamp) {
        entries[where[id]].total += s.video_counts[k];  // at most 2^32 terms: no wrap
      } else {
        seen[id] = stamp;
        where[id] = static_cast<std::uint32_t>(entries.size());
        entries.push_back({id, s.video_counts[k]});
      }
    }
  }
  return true;
}

// The same by sorting: every entry, ordered by video, then each video's run
// summed into its first.
void group_by_sorting(std::span<const PayloadView> sources, MergeScratch& scratch) {
  auto& entries = scratch.entries;
  entries.clear();
  for (const PayloadView& s : sources) {
    for (std::size_t k = 0; k < s.video_ids.size(); ++k)
      entries.push_back({s.video_ids[k], s.video_counts[k]});
  }
  std::sort(entries.begin(), entries.end(),
            [](const MergeScratch::Entry& a, const MergeScratch::Entry& b) { return a.id < b.id; });
  std::size_t out = 0;
  for (std::size_t k = 0; k < entries.size(); ++k) {
    if (out > 0 && entries[out - 1].id == entries[k].id) {
      entries[out - 1].total += entries[k].total;  // at most 2^32 terms: no wrap
    } else {
      entries[out++] = entries[k];
    }
  }
  entries.resize(out);
}

}  // namespace

void throw_not_parallel(std::uint64_t ids, std::uint64_t counts, std::optional<std::size_t> node) {
  throw InternalFault(
      (node ? "payload of node " + std::to_string(*node) + " has " : std::string("payload has ")) +
      std::to_string(ids) + " video ids but only " + std::to_string(counts) + " counts");
}

bool merge_entries(std::span<const PayloadView> sources, std::vector<std::uint32_t>& ids,
                   std::vector<std::uint32_t>& counts, MergeScratch& scratch) {
  std::size_t n = 0;
  for (const PayloadView& s : sources) {
    require_parallel(s);
    n += s.video_ids.size();
  }
  using Entry = MergeScratch::Entry;
  std::vector<Entry>& entries = scratch.entries;
  entries.clear();
  entries.reserve(n);
  if (!group_by_table(sources, scratch)) group_by_sorting(sources, scratch);
  bool saturated = false;
  for (const Entry& e : entries) saturated = saturated || e.total > kMaxU32;
  // Videos are unique now: this order is total, whichever way they were
  // grouped.
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.total != b.total ? a.total > b.total : a.id < b.id;
  });
  const std::size_t out = entries.size();
  ids.resize(out);
  counts.resize(out);
  for (std::size_t k = 0; k < out; ++k) {
    ids[k] = entries[k].id;
    counts[k] = saturate(entries[k].total);
  }
  return !saturated;
}

Payload Payload::from_view(PayloadView v) {
  Payload p;
  p.total_count = v.total_count;
  p.video_ids.assign(v.video_ids.begin(), v.video_ids.end());
  p.video_counts.assign(v.video_counts.begin(), v.video_counts.end());
  return p;
}

void Payload::merge_from(PayloadView other) {
  const PayloadView sources[] = {view(), other};
  MergeScratch scratch;
  merge_entries(sources, video_ids, video_counts, scratch);
  total_count = saturate(std::uint64_t{total_count} + other.total_count);
}

std::uint64_t EntryEnds::high(std::size_t i) const {
  return static_cast<std::uint64_t>(std::upper_bound(carries_.begin(), carries_.end(), i) -
                                    carries_.begin());
}

void EntryEnds::add_carries(std::size_t i, std::uint64_t v) {
  const std::uint64_t want = v >> 32;
  if (want < carries_.size()) {
    throw InternalFault("payload entry offsets must not decrease");
  }
  carries_.reserve(static_cast<std::size_t>(want));
  while (carries_.size() < want) carries_.push_back(i);
}

void EntryEnds::push_back(std::uint64_t v) {
  low_.reserve_more(1);
  if ((v >> 32) != carries_.size()) add_carries(low_.size(), v);
  low_.push_back(static_cast<std::uint32_t>(v));
}

void PayloadTable::reserve(std::size_t nodes, std::size_t entries) {
  present_.reserve(nodes);
  total_.reserve(nodes);
  end_.reserve(nodes);
  ids_.reserve(entries);
  counts_.reserve(entries);
}

void PayloadTable::push_absent() {
  present_.reserve_more(1);
  total_.reserve_more(1);
  end_.push_back(ids_.size());
  present_.push_back(0);
  total_.push_back(0);
}

void PayloadTable::push(PayloadView p) {
  require_parallel(p);
  const std::size_t n = p.video_ids.size();
  Slot s = push_uninitialized(p.total_count, n);
  std::copy_n(p.video_ids.begin(), n, s.video_ids.begin());
  std::copy_n(p.video_counts.begin(), n, s.video_counts.begin());
}

PayloadTable::Slot PayloadTable::push_uninitialized(std::uint32_t total_count, std::size_t n) {
  // Make room in every array before changing any, so that a failed
  // allocation leaves the table as it was. Room only grows capacity.
  ids_.reserve_more(n);
  counts_.reserve_more(n);
  present_.reserve_more(1);
  total_.reserve_more(1);
  const std::size_t begin = ids_.size();
  end_.push_back(begin + n);  // the only step left that may throw
  ids_.resize_for_overwrite(begin + n);
  counts_.resize_for_overwrite(begin + n);
  present_.push_back(1);
  total_.push_back(total_count);
  return {std::span<std::uint32_t>(ids_.data() + begin, n),
          std::span<std::uint32_t>(counts_.data() + begin, n)};
}

}  // namespace tessaloom::payload
