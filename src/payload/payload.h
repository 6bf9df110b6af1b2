// Payloads: per node, a total occurrence count and a list of (video number,
// count) entries. `Payload` is the owning value used while building;
// `PayloadTable` holds one optional payload per node in flat arrays, so an
// index costs a few bytes per node plus 8 per entry instead of two heap
// vectors per node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tessaloom {

namespace format {
class Reader;
class Writer;
}  // namespace format

// A read-only look at a payload stored elsewhere. `video_ids` and
// `video_counts` are parallel; only a restored index can have them differ in
// length, and readers must check before pairing them.
struct PayloadView {
  std::uint32_t total_count = 0;
  std::span<const std::uint32_t> video_ids;
  std::span<const std::uint32_t> video_counts;
};

struct Payload {
  std::uint32_t total_count = 0;
  std::vector<std::uint32_t> video_ids;
  std::vector<std::uint32_t> video_counts;

  PayloadView view() const { return {total_count, video_ids, video_counts}; }
  static Payload from_view(PayloadView v);

  // Adds `other` into this payload: total counts add up (saturating at
  // 2^32-1); entries are grouped by video number and summed in 64 bits, then
  // ordered by summed count, largest first, equal sums by ascending video
  // number; each sum is stored saturated at 2^32-1. Throws InternalFault,
  // leaving this payload unchanged, when either side has fewer counts than
  // ids.
  void merge_from(PayloadView other);

  bool operator==(const Payload&) const = default;
};

// One optional payload per node, in node order, stored as flat arrays.
// Entries of node i are ids_[id_end_[i-1] .. id_end_[i]) and the same for
// counts (with an implicit 0 before node 0).
class PayloadTable {
 public:
  std::size_t size() const { return present_.size(); }
  bool present(std::size_t i) const { return present_[i] != 0; }
  // The payload of node i, or nullopt when it is absent. i must be < size().
  std::optional<PayloadView> get(std::size_t i) const;
  // Bounds-checked get: throws InternalFault when i >= size().
  std::optional<PayloadView> checked_get(std::size_t i) const;

  void reserve(std::size_t nodes, std::size_t entries);
  void push_absent();
  void push(PayloadView p);
  // Appends a payload whose ids and counts are written by the caller into the
  // returned spans (sizes given up front).
  struct Slot {
    std::span<std::uint32_t> video_ids;
    std::span<std::uint32_t> video_counts;
  };
  Slot push_uninitialized(std::uint32_t total_count, std::size_t n_ids,
                          std::size_t n_counts);

  std::size_t entry_count() const { return ids_.size(); }
  std::size_t memory_bytes() const;

  bool operator==(const PayloadTable& o) const;

  // The saved form (payload_format.cc): a vector of optional payloads, each
  // a tag byte, then total_count (u32), video_ids and video_counts (vectors
  // of u32). Ids and counts round-trip as stored, even of unequal lengths.
  std::size_t encoded_size() const;
  void encode(format::Writer& w) const;
  // Reads the whole vector; throws format::DecodeError at the first problem.
  static PayloadTable decode(format::Reader& r);

 private:
  std::vector<std::uint8_t> present_;
  std::vector<std::uint32_t> total_;
  std::vector<std::uint64_t> id_end_;
  std::vector<std::uint64_t> count_end_;
  std::vector<std::uint32_t> ids_;
  std::vector<std::uint32_t> counts_;
};

}  // namespace tessaloom
