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

std::optional<PayloadView> PayloadTable::get(std::size_t i) const {
  if (!present_[i]) return std::nullopt;
  const std::uint64_t id_begin = i == 0 ? 0 : id_end_[i - 1];
  const std::uint64_t count_begin = i == 0 ? 0 : count_end_[i - 1];
  PayloadView v;
  v.total_count = total_[i];
  v.video_ids = std::span<const std::uint32_t>(ids_).subspan(
      id_begin, id_end_[i] - id_begin);
  v.video_counts = std::span<const std::uint32_t>(counts_).subspan(
      count_begin, count_end_[i] - count_begin);
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
  count_end_.reserve(nodes);
  ids_.reserve(entries);
  counts_.reserve(entries);
}

void PayloadTable::push_absent() {
  present_.push_back(0);
  total_.push_back(0);
  id_end_.push_back(ids_.size());
  count_end_.push_back(counts_.size());
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
  // Grow every array before recording the node, so that a failed allocation
  // leaves the table as it was.
  const std::size_t id_begin = ids_.size();
  const std::size_t count_begin = counts_.size();
  ids_.resize(id_begin + n_ids);
  try {
    counts_.resize(count_begin + n_counts);
    present_.reserve(present_.size() + 1);
    total_.reserve(total_.size() + 1);
    id_end_.reserve(id_end_.size() + 1);
    count_end_.reserve(count_end_.size() + 1);
  } catch (...) {
    ids_.resize(id_begin);
    counts_.resize(count_begin);
    throw;
  }
  present_.push_back(1);
  total_.push_back(total_count);
  id_end_.push_back(ids_.size());
  count_end_.push_back(counts_.size());
  return {std::span<std::uint32_t>(ids_).subspan(id_begin, n_ids),
          std::span<std::uint32_t>(counts_).subspan(count_begin, n_counts)};
}

std::size_t PayloadTable::memory_bytes() const {
  return present_.capacity() + total_.capacity() * 4 +
         id_end_.capacity() * 8 + count_end_.capacity() * 8 +
         ids_.capacity() * 4 + counts_.capacity() * 4;
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
