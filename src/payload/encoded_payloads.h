// The payloads of an index held in their saved form: the bytes of the
// vector of optional payloads (each a tag byte, then total_count, video_ids
// and video_counts as varints), with where each node's payload ends.
//
// Loading then only has to check the bytes and note the ends (4 bytes per
// node), and can leave the bytes where they are, in the buffer it was given,
// when the caller keeps that buffer alive; saving copies them out as one
// block. A query decodes the few payloads it pools, entry by entry.
//
// The bytes are always in the shortest form, so equal payloads are equal
// bytes: input that uses longer forms is re-encoded when it is loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "common/fault.h"
#include "format/format.h"
#include "payload/payload.h"

namespace tessaloom {

// One present payload, located in the encoded bytes.
struct EncodedPayload {
  std::uint32_t total_count = 0;
  std::uint64_t id_count = 0;     // length of video_ids
  std::uint64_t count_count = 0;  // length of video_counts
  const std::uint8_t* ids = nullptr;     // the first id
  const std::uint8_t* ids_end = nullptr;  // where the counts' length starts
  const std::uint8_t* counts = nullptr;  // the first count
  const std::uint8_t* end = nullptr;     // the end of the payload

  // Calls f(video, count) for the first min(id_count, count_count) pairs, in
  // stored order. Every read stays inside the payload's bytes; bytes that do
  // not decode as they did when loaded throw InternalFault.
  template <class F>
  void for_each_pair(F&& f) const;

  Payload decode() const;
};

class EncodedPayloads {
 public:
  EncodedPayloads() = default;
  // The encoding of every payload of `table`, in its order, or from its last
  // to its first.
  explicit EncodedPayloads(const PayloadTable& table);
  static EncodedPayloads reversed(const PayloadTable& table);

  // Number of nodes (payloads, present or absent).
  std::size_t size() const { return ends_.size(); }

  // The payload of node i, or nullopt when it is absent. Throws
  // InternalFault when i >= size().
  std::optional<EncodedPayload> get(std::size_t i) const;
  // The same, decoded into a value.
  std::optional<Payload> payload(std::size_t i) const;

  // Saving: a vector length, then the stored bytes.
  std::size_t encoded_size() const {
    return format::varint_size(size()) + bytes_.size();
  }
  void encode(format::Writer& w) const;

  // Reads the whole vector from r. With an `owner`, the bytes must stay
  // valid and unchanged as long as the owner lives and are used in place;
  // without, they are copied. Throws format::DecodeError at the first
  // problem, exactly where reading the payloads one value at a time would.
  static EncodedPayloads decode(format::Reader& r,
                                std::shared_ptr<const void> owner = nullptr);

  std::span<const std::uint8_t> bytes() const { return bytes_; }
  // Memory of our own: the ends, and the bytes when they are a copy.
  std::size_t memory_bytes() const {
    return ends_.memory_bytes() + (owns_bytes_ ? bytes_.size() : 0);
  }

  bool operator==(const EncodedPayloads& o) const;

 private:
  // Builds from count payloads given by get(i) -> std::optional<PayloadView>.
  template <class Get>
  static EncodedPayloads encode_all(std::size_t count, Get get);

  std::shared_ptr<const void> owner_;
  std::span<const std::uint8_t> bytes_;
  bool owns_bytes_ = false;
  EntryEnds ends_;  // end of node i's bytes, from the start of bytes_
};

namespace payload_detail {

[[noreturn]] void throw_malformed();
std::uint32_t next_u32_slow(const std::uint8_t*& p, const std::uint8_t* end);

// The u32 at p, not reading at or past end.
inline std::uint32_t next_u32(const std::uint8_t*& p, const std::uint8_t* end) {
  std::uint32_t v;
  if (end - p >= 5 && format::Reader::take_u32(p, v)) return v;
  return next_u32_slow(p, end);
}

}  // namespace payload_detail

template <class F>
void EncodedPayload::for_each_pair(F&& f) const {
  const std::uint64_t n = id_count < count_count ? id_count : count_count;
  const std::uint8_t* id = ids;
  const std::uint8_t* count = counts;
  for (std::uint64_t k = 0; k < n; ++k) {
    const std::uint32_t v = payload_detail::next_u32(id, ids_end);
    f(v, payload_detail::next_u32(count, end));
  }
}

}  // namespace tessaloom
