#include "payload/payload.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "common/fault.h"

namespace tessaloom {
namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

std::uint32_t saturate(std::uint64_t v) {
  return static_cast<std::uint32_t>(std::min(v, kMaxU32));
}

void check_parallel(PayloadView p) {
  if (p.video_counts.size() < p.video_ids.size()) {
    throw InternalFault("payload has " + std::to_string(p.video_ids.size()) +
                        " video ids but only " +
                        std::to_string(p.video_counts.size()) + " counts");
  }
}

struct Entry {
  std::uint32_t id;
  std::uint64_t total;
};

}  // namespace

Payload Payload::from_view(PayloadView v) {
  Payload p;
  p.total_count = v.total_count;
  p.video_ids.assign(v.video_ids.begin(), v.video_ids.end());
  p.video_counts.assign(v.video_counts.begin(), v.video_counts.end());
  return p;
}

void Payload::merge_from(PayloadView other) {
  check_parallel(view());
  check_parallel(other);

  // Scratch kept per thread: merges run by the hundred thousand while an
  // index is built, and most are a handful of entries.
  thread_local std::vector<Entry> entries;
  entries.clear();
  entries.reserve(video_ids.size() + other.video_ids.size());
  for (std::size_t k = 0; k < video_ids.size(); ++k)
    entries.push_back({video_ids[k], video_counts[k]});
  for (std::size_t k = 0; k < other.video_ids.size(); ++k)
    entries.push_back({other.video_ids[k], other.video_counts[k]});

  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.id < b.id; });
  std::size_t out = 0;
  for (std::size_t k = 0; k < entries.size(); ++k) {
    if (out > 0 && entries[out - 1].id == entries[k].id) {
      entries[out - 1].total += entries[k].total;  // at most 2^32 terms: no wrap
    } else {
      entries[out++] = entries[k];
    }
  }
  entries.resize(out);
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.total != b.total ? a.total > b.total : a.id < b.id;
  });

  video_ids.resize(out);
  video_counts.resize(out);
  for (std::size_t k = 0; k < out; ++k) {
    video_ids[k] = entries[k].id;
    video_counts[k] = saturate(entries[k].total);
  }
  total_count = saturate(std::uint64_t{total_count} + other.total_count);
}

std::uint64_t EntryEnds::high(std::size_t i) const {
  return static_cast<std::uint64_t>(
      std::upper_bound(carries_.begin(), carries_.end(), i) - carries_.begin());
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

std::optional<PayloadView> PayloadTable::get(std::size_t i) const {
  if (!present_[i]) return std::nullopt;
  const std::uint64_t id_begin = i == 0 ? 0 : id_end_[i - 1];
  const std::uint64_t id_end = id_end_[i];
  std::uint64_t count_begin = id_begin, count_end = id_end;
  if (split_counts_) {
    count_begin = i == 0 ? 0 : count_end_[i - 1];
    count_end = count_end_[i];
  }
  PayloadView v;
  v.total_count = total_[i];
  v.video_ids = std::span<const std::uint32_t>(ids_.data() + id_begin,
                                               id_end - id_begin);
  v.video_counts = std::span<const std::uint32_t>(
      counts_.data() + count_begin, count_end - count_begin);
  return v;
}

std::optional<PayloadView> PayloadTable::checked_get(std::size_t i) const {
  if (i >= size()) throw_out_of_range("payloads", i, size());
  return get(i);
}

void PayloadTable::reserve(std::size_t nodes, std::size_t entries) {
  present_.reserve(nodes);
  total_.reserve(nodes);
  id_end_.reserve(nodes);
  if (split_counts_) count_end_.reserve(nodes);
  ids_.reserve(entries);
  counts_.reserve(entries);
}

void PayloadTable::split_counts() {
  EntryEnds ends;
  ends.reserve(id_end_.size() + 1);
  for (std::size_t i = 0; i < id_end_.size(); ++i) ends.push_back(id_end_[i]);
  count_end_ = std::move(ends);
  split_counts_ = true;
}

void PayloadTable::reserve_one_more() {
  present_.reserve_more(1);
  total_.reserve_more(1);
  id_end_.reserve(std::max(present_.capacity(), id_end_.size() + 1));
  if (split_counts_) {
    count_end_.reserve(std::max(present_.capacity(), count_end_.size() + 1));
  }
}

void PayloadTable::push_absent() {
  reserve_one_more();
  id_end_.push_back(ids_.size());
  if (split_counts_) count_end_.push_back(counts_.size());
  present_.push_back(0);
  total_.push_back(0);
}

void PayloadTable::push(PayloadView p) {
  Slot s = push_uninitialized(p.total_count, p.video_ids.size(),
                              p.video_counts.size());
  std::copy(p.video_ids.begin(), p.video_ids.end(), s.video_ids.begin());
  std::copy(p.video_counts.begin(), p.video_counts.end(),
            s.video_counts.begin());
}

PayloadTable::Slot PayloadTable::push_uninitialized(std::uint32_t total_count,
                                                    std::size_t n_ids,
                                                    std::size_t n_counts) {
  // Make room in every array before changing any, so that a failed
  // allocation leaves the table as it was. Room only grows capacity.
  ids_.reserve_more(n_ids);
  counts_.reserve_more(n_counts);
  reserve_one_more();
  const std::size_t id_begin = ids_.size();
  const std::size_t count_begin = counts_.size();
  if (!split_counts_ && (n_ids != n_counts || id_begin != count_begin)) {
    split_counts();  // the only step left that may throw
    count_end_.reserve(present_.capacity());
  }
  ids_.resize_for_overwrite(id_begin + n_ids);
  counts_.resize_for_overwrite(count_begin + n_counts);
  id_end_.push_back(ids_.size());
  if (split_counts_) count_end_.push_back(counts_.size());
  present_.push_back(1);
  total_.push_back(total_count);
  return {std::span<std::uint32_t>(ids_.data() + id_begin, n_ids),
          std::span<std::uint32_t>(counts_.data() + count_begin, n_counts)};
}

std::size_t PayloadTable::memory_bytes() const {
  return present_.capacity() + total_.capacity() * 4 + id_end_.memory_bytes() +
         count_end_.memory_bytes() + ids_.capacity() * 4 +
         counts_.capacity() * 4;
}

bool PayloadTable::operator==(const PayloadTable& o) const {
  if (size() != o.size()) return false;
  for (std::size_t i = 0; i < size(); ++i) {
    auto a = get(i), b = o.get(i);
    if (a.has_value() != b.has_value()) return false;
    if (!a) continue;
    if (a->total_count != b->total_count ||
        !std::equal(a->video_ids.begin(), a->video_ids.end(),
                    b->video_ids.begin(), b->video_ids.end()) ||
        !std::equal(a->video_counts.begin(), a->video_counts.end(),
                    b->video_counts.begin(), b->video_counts.end()))
      return false;
  }
  return true;
}

}  // namespace tessaloom
