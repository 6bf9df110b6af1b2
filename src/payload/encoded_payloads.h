// The payloads of an index held in their saved form: the bytes of the
// vector of optional payloads (each a tag byte, then total_count, video_ids
// and video_counts as varints), with where each node's payload ends.
//
// Loading then only has to check the bytes and note the ends (4 bytes per
// node), and can leave the bytes where they are, in the buffer it was given,
// when the caller keeps that buffer alive; saving copies them out as one
// block. A query decodes the payloads it pools, each list in bulk.
//
// The bytes are always in the shortest form, so equal payloads are equal
// bytes: input that uses longer forms is re-encoded when it is loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "common/fault.h"
#include "format/format.h"
#include "payload/payload.h"

namespace tessaloom::payload {

// One payload's entries as EncodedPayloads::entries() decodes them: its
// first n = min(id_count, count_count) (video id, count) pairs, the ids at
// `ids` and the counts at `byte_counts` (one byte each, read in place) or,
// when some count takes more, at `counts`.
struct PayloadEntries {
  std::uint32_t total_count = 0;
  std::uint64_t id_count = 0;
  std::uint64_t count_count = 0;
  std::uint64_t n = 0;
  const std::uint32_t* ids = nullptr;
  const std::uint8_t* byte_counts = nullptr;
  const std::uint32_t* counts = nullptr;
  // The bitwise or of all id_count ids: no id is above it, so a pool for
  // the ids below a power of two 2^b takes the list unchecked when
  // ids_or >> b is 0.
  std::uint32_t ids_or = 0;
};

namespace detail {
// A decoder's hint for each value decoded: none.
struct NoHint {
  void operator()(std::uint32_t) const {}
};
}  // namespace detail

class EncodedPayloads {
 public:
  EncodedPayloads() = default;
  // The encoding of every payload of `table`, in its order, or from its last
  // to its first.
  explicit EncodedPayloads(const PayloadTable& table);
  static EncodedPayloads reversed(const PayloadTable& table);

  // Number of nodes (payloads, present or absent).
  std::size_t size() const { return ends_.size(); }

  // The payload of node i decoded, or nullopt when it is absent. Throws
  // InternalFault when i >= size().
  std::optional<Payload> payload(std::size_t i) const;

  // Node i's payload decoded in bulk: the header, then the video ids into
  // `scratch` (grown as needed and never shrunk or cleared, so its contents
  // are unspecified), then the counts, left in place when each takes one
  // byte, else decoded into `scratch` after the ids. Calls
  // check(total_count, id_count, count_count) after the header and the ids,
  // before any count is read, so a check that throws stops the read there.
  // Calls on_id(id) as each id is decoded, for a hint such as a prefetch of
  // what the caller reads for it next. Returns false, calling nothing, when
  // the payload is absent. Throws InternalFault as payload() does.
  template <class Check, class OnId = detail::NoHint>
  bool entries(std::size_t i, std::vector<std::uint32_t>& scratch, Check&& check,
               PayloadEntries& out, OnId on_id = {}) const;

  // Node i's payload read in one pass (see entries()), for a caller that
  // visits every pair: calls check as entries() does, then f(video, count)
  // for each of the PayloadEntries' pairs in stored order. Returns false,
  // calling neither, when the payload is absent. An f that also takes whole
  // lists, f(ids, counts, n) with counts as bytes or as u32, is handed the n
  // pairs in one call instead.
  template <class Check, class F>
  bool for_each_pair(std::size_t i, std::vector<std::uint32_t>& scratch, Check&& check,
                     F&& f) const;

  // Hints for a caller that knows which payloads it reads next, with no
  // effect on any result: fetch where node i's payload ends (the first read
  // of a payload, so best asked for a few payloads ahead of the bytes), or
  // the first kPrefetchBytes of its bytes. Nothing for i >= size().
  static constexpr std::size_t kPrefetchBytes = 512;
  void prefetch_end(std::size_t i) const { ends_.prefetch(i == 0 ? 0 : i - 1); }
  void prefetch_bytes(std::size_t i) const {
    if (i >= size()) return;
    const std::uint64_t begin = i == 0 ? 0 : ends_[i - 1];
    std::uint64_t end = ends_[i];
    if (end > bytes_.size()) end = bytes_.size();
    if (end > begin + kPrefetchBytes) end = begin + kPrefetchBytes;
    for (std::uint64_t at = begin; at < end; at += 64) __builtin_prefetch(bytes_.data() + at);
  }

  // Saving: a vector length, then the stored bytes.
  std::size_t encoded_size() const { return format::varint_size(size()) + bytes_.size(); }
  void encode(format::Writer& w) const;

  // Reads the whole vector from r. With an `owner`, the bytes must stay
  // valid and unchanged as long as the owner lives and are used in place;
  // without, they are copied. Throws format::DecodeError at the first
  // problem, exactly where reading the payloads one value at a time would.
  static EncodedPayloads decode(format::Reader& r, std::shared_ptr<const void> owner = nullptr);

  // The stored bytes (their size bounds the entries of any set of nodes).
  std::span<const std::uint8_t> bytes() const { return bytes_; }

  bool operator==(const EncodedPayloads& o) const;

 private:
  // Where node i's payload lies: [*p, *stop), its tag byte first. Throws
  // InternalFault when i >= size() or the ends are out of order.
  void locate(std::size_t i, const std::uint8_t** p, const std::uint8_t** stop) const;

  // Builds from count payloads given by get(i) -> std::optional<PayloadView>.
  template <class Get>
  static EncodedPayloads encode_all(std::size_t count, Get get);

  std::shared_ptr<const void> owner_;
  std::span<const std::uint8_t> bytes_;
  EntryEnds ends_;  // end of node i's bytes, from the start of bytes_
};

namespace detail {

[[noreturn]] void throw_malformed();
std::uint32_t next_u32_slow(const std::uint8_t*& p, const std::uint8_t* end);

// The u32 at p, not reading at or past end. One-byte values take the
// shortest path wherever they are, the last values of a payload included.
// The slow path works on a copy of p, so that a caller's p can stay in a
// register.
inline std::uint32_t next_u32(const std::uint8_t*& p, const std::uint8_t* end) {
  if (p < end && *p <= format::kMaxOneByte) return *p++;
  std::uint32_t v;
  if (end - p >= 5 && format::take_u32(p, v)) return v;
  // The three-byte form as the last value of a payload, fewer than 5 bytes
  // before its end: common for the smallest count of a node high up.
  if (end - p >= 3 && *p == format::kMarker2) {
    std::uint16_t x;
    std::memcpy(&x, p + 1, 2);
    p += 3;
    return x;
  }
  const std::uint8_t* q = p;
  v = next_u32_slow(q, end);
  p = q;
  return v;
}

std::uint64_t next_len_slow(const std::uint8_t*& p, const std::uint8_t* end);

// The one- or three-byte u32 at p (*p <= format::kMarker2, 3 bytes
// readable), moving p past it.
inline std::uint32_t take_short(const std::uint8_t*& p) {
  const std::uint8_t b = *p;
  std::uint16_t x;
  std::memcpy(&x, p + 1, 2);
  const bool three = b == format::kMarker2;
  p += three ? 3 : 1;
  return three ? std::uint32_t{x} : std::uint32_t{b};
}

// A value in a form other than the one- and three-byte ones at q, not
// reading at or past end. Throws, as a read of the stored bytes does, when
// q is not before end.
std::uint32_t take_long(const std::uint8_t*& q, const std::uint8_t* end);

// The u32 at q, which has 3 bytes readable, for a caller that checks
// against the payload's end afterwards: the one- and three-byte forms are
// taken without a bound check; another form is read checked against end.
inline std::uint32_t take_value(const std::uint8_t*& q, const std::uint8_t* end) {
  if (*q <= format::kMarker2) [[likely]]
    return take_short(q);
  // On a copy, so that the caller's q can stay in a register.
  const std::uint8_t* r = q;
  const std::uint32_t v = take_long(r, end);
  q = r;
  return v;
}

// Decodes `count` u32 values at p into out, as `count` calls of next_u32
// would (throwing where they would), and returns the bitwise or of the
// values. Bytes before `readable` (at or past end) may be read: while three
// bytes per value are readable, the one- and three-byte forms (nearly every
// value) are taken without a bound check, and where they ended is checked
// against end once, at the end; the last values, with fewer bytes left to
// read, go one by one, checked. A block of values is taken unchecked only
// while the longest form (9 bytes) of each is readable: a long form moves q
// further than the 3 bytes a short one reads, and the values after it in the
// block are still read unchecked. Calls on_value(v) for each value as it is
// taken.
template <class OnValue = NoHint>
inline std::uint32_t next_u32s(const std::uint8_t*& p, const std::uint8_t* end,
                               const std::uint8_t* readable, std::uint32_t* out,
                               std::uint64_t count, OnValue on_value = {}) {
  constexpr std::uint64_t kBlock = 8;
  constexpr std::uint64_t kLongestForm = 9;
  std::uint64_t k = 0;
  std::uint32_t any = 0;
  const std::uint8_t* q = p;
  while (count - k >= kBlock &&
         readable - q >= static_cast<std::ptrdiff_t>(kLongestForm * kBlock)) {
#pragma GCC unroll 8
    for (std::uint64_t j = 0; j < kBlock; ++j) {
      const std::uint32_t v = take_value(q, end);
      out[k + j] = v;
      on_value(v);
      any |= v;
    }
    k += kBlock;
  }
  for (; k < count && readable - q >= 3; ++k) {
    const std::uint32_t v = take_value(q, end);
    out[k] = v;
    on_value(v);
    any |= v;
  }
  if (q > end) [[unlikely]]
    throw_malformed();
  for (; k < count; ++k) {
    const std::uint32_t v =
        end - q >= 3 && *q <= format::kMarker2 ? take_short(q) : next_u32(q, end);
    out[k] = v;
    on_value(v);
    any |= v;
  }
  p = q;
  return any;
}

// A length at p, not reading at or past end; like next_u32.
inline std::uint64_t next_len(const std::uint8_t*& p, const std::uint8_t* end) {
  if (p < end && *p <= format::kMaxOneByte) return *p++;
  const std::uint8_t* q = p;
  const std::uint64_t v = next_len_slow(q, end);
  p = q;
  return v;
}

}  // namespace detail

inline void EncodedPayloads::locate(std::size_t i, const std::uint8_t** p,
                                    const std::uint8_t** stop) const {
  if (i >= size()) common::throw_out_of_range("payloads", i, size());
  const std::uint64_t begin = i == 0 ? 0 : ends_[i - 1];
  const std::uint64_t end = ends_[i];
  if (begin >= end || end > bytes_.size()) detail::throw_malformed();
  *p = bytes_.data() + begin;
  *stop = bytes_.data() + end;
}

template <class Check, class OnId>
bool EncodedPayloads::entries(std::size_t i, std::vector<std::uint32_t>& scratch, Check&& check,
                              PayloadEntries& out, OnId on_id) const {
  const std::uint8_t* p;
  const std::uint8_t* stop;
  locate(i, &p, &stop);
  const std::uint8_t tag = *p++;
  if (tag == 0) return false;
  if (tag != 1) detail::throw_malformed();
  out.total_count = detail::next_u32(p, stop);
  const std::uint64_t id_count = detail::next_len(p, stop);
  // Every id takes at least one byte: a count beyond the bytes left cannot
  // be right, and must not size the list.
  if (id_count > static_cast<std::uint64_t>(stop - p)) detail::throw_malformed();
  // Room for the ids and, after them, as many counts: all grown at once,
  // and only ever grown, so that a list of the usual length writes over the
  // last one's without the vector filling anything first.
  if (scratch.size() < 2 * id_count) scratch.resize(static_cast<std::size_t>(2 * id_count));
  std::uint32_t* const ids = scratch.data();
  out.id_count = id_count;
  out.ids = ids;
  const std::uint8_t* const readable = bytes_.data() + bytes_.size();
  out.ids_or = detail::next_u32s(p, stop, readable, ids, id_count, on_id);
  const std::uint64_t count_count = detail::next_len(p, stop);
  out.count_count = count_count;
  check(out.total_count, id_count, count_count);
  const std::uint64_t n = id_count < count_count ? id_count : count_count;
  out.n = n;
  // As many bytes as counts: each a one-byte value, as every value takes at
  // least one byte in the stored form, which loading checked and which does
  // not change after.
  if (static_cast<std::uint64_t>(stop - p) == count_count) {
    out.byte_counts = p;
    out.counts = nullptr;
  } else {
    // n <= id_count, which the bytes bounded above.
    std::uint32_t* const counts = ids + id_count;
    detail::next_u32s(p, stop, readable, counts, n);
    out.byte_counts = nullptr;
    out.counts = counts;
  }
  return true;
}

template <class Check, class F>
bool EncodedPayloads::for_each_pair(std::size_t i, std::vector<std::uint32_t>& scratch,
                                    Check&& check, F&& f) const {
  PayloadEntries e;
  if (!entries(i, scratch, check, e)) return false;
  constexpr bool kLists =
      std::is_invocable_v<F&, const std::uint32_t*, const std::uint8_t*, std::uint64_t> &&
      std::is_invocable_v<F&, const std::uint32_t*, const std::uint32_t*, std::uint64_t>;
  if constexpr (kLists) {
    if (e.byte_counts != nullptr) {
      f(e.ids, e.byte_counts, e.n);
    } else {
      f(e.ids, e.counts, e.n);
    }
  } else if (e.byte_counts != nullptr) {
    for (std::uint64_t k = 0; k < e.n; ++k) f(e.ids[k], std::uint32_t{e.byte_counts[k]});
  } else {
    for (std::uint64_t k = 0; k < e.n; ++k) f(e.ids[k], e.counts[k]);
  }
  return true;
}

}  // namespace tessaloom::payload
