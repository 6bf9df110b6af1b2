#include "payload/encoded_payloads.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "common/interrupt.h"
#include "payload/payload_scan.h"

namespace tessaloom::payload {

using common::InternalFault;
using common::PodArray;
using common::Poll;

namespace {

// Runs read on a reader over [p, end) and moves p past what it read. The
// bytes were checked when loaded, so a failure means they changed since.
template <class Read>
auto read_stored(const std::uint8_t*& p, const std::uint8_t* end, Read read) {
  try {
    format::Reader r({p, end});
    const auto v = read(r);
    p = r.position();
    return v;
  } catch (const format::DecodeError&) {
    detail::throw_malformed();
  }
}

}  // namespace

namespace detail {

void throw_malformed() { throw InternalFault("stored payload bytes do not decode"); }

std::uint32_t next_u32_slow(const std::uint8_t*& p, const std::uint8_t* end) {
  return read_stored(p, end, [](format::Reader& r) { return r.read_u32(); });
}

std::uint32_t take_long(const std::uint8_t*& q, const std::uint8_t* end) {
  if (q >= end) throw_malformed();
  return next_u32(q, end);
}

std::uint64_t next_len_slow(const std::uint8_t*& p, const std::uint8_t* end) {
  return read_stored(p, end, [](format::Reader& r) { return r.read_len(); });
}

}  // namespace detail

namespace {

// Reads n u32 values with every check. Returns whether each was in its
// shortest form. While 5 bytes are left a value is taken without a bound
// check; the rest, and any refused marker, go through the reader's checked
// read, which reports the exact error.
bool read_u32_values(format::Reader& r, std::uint64_t n) {
  bool shortest = true;
  const std::uint8_t* p = r.position();
  const std::uint8_t* const end = r.end();
  for (; n > 0 && end - p >= 5; --n) {
    const std::uint8_t* const at = p;
    std::uint32_t v;
    if (!format::take_u32(p, v)) break;
    shortest &= static_cast<std::size_t>(p - at) == format::u32_size(v);
  }
  r.seek(p);
  for (; n > 0; --n) {
    const std::uint8_t* at = r.position();
    const std::uint32_t v = r.read_u32();
    shortest &= static_cast<std::size_t>(r.position() - at) == format::u32_size(v);
  }
  return shortest;
}

// A length, with whether it was in its shortest form.
std::uint64_t read_len(format::Reader& r, bool& shortest) {
  const std::uint8_t* at = r.position();
  const std::uint64_t v = r.read_len();
  shortest &= static_cast<std::size_t>(r.position() - at) == format::varint_size(v);
  return v;
}

// Reads one optional payload value by value with every check. Returns
// whether every value in it was in its shortest form. A declared length
// larger than the input ends with the input: each value takes at least one
// byte.
bool read_payload(format::Reader& r) {
  if (!r.read_option_tag(format::kOptionPayloadTypeName)) return true;
  bool shortest = read_u32_values(r, 1);
  shortest &= read_u32_values(r, read_len(r, shortest));
  shortest &= read_u32_values(r, read_len(r, shortest));
  return shortest;
}

}  // namespace

std::optional<Payload> EncodedPayloads::payload(std::size_t i) const {
  const std::uint8_t* p;
  const std::uint8_t* stop;
  locate(i, &p, &stop);
  const std::uint8_t tag = *p++;
  if (tag == 0) return std::nullopt;
  if (tag != 1) detail::throw_malformed();
  Payload out;
  out.total_count = detail::next_u32(p, stop);
  for (auto* list : {&out.video_ids, &out.video_counts}) {
    for (std::uint64_t k = detail::next_len(p, stop); k > 0; --k)
      list->push_back(detail::next_u32(p, stop));
  }
  return out;
}

template <class Get>
EncodedPayloads EncodedPayloads::encode_all(std::size_t count, Get get) {
  // One pass, into a buffer that grows as it fills: before each payload it
  // is given room for the longest form the payload can take, and the 8 bytes
  // that a u32 store may touch past its value (format::Writer::put_u32). The
  // room left over is returned at the end. The loop polls the thread's
  // Interrupt: on a large build it is the last long loop before the index
  // exists.
  Poll poll;
  auto buffer = std::make_shared<PodArray<std::uint8_t>>();
  PodArray<std::uint8_t>& b = *buffer;
  EncodedPayloads out;
  out.ends_.resize_for_overwrite(count);
  for (std::size_t i = 0; i < count; ++i) {
    poll();
    const std::optional<PayloadView> p = get(i);
    std::size_t longest = 1 + 8;
    if (p) {
      longest += 5 + 2 * 9 + 5 * (p->video_ids.size() + p->video_counts.size());
    }
    b.reserve_more(longest);
    format::Writer w({b.data() + b.size(), b.capacity() - b.size()});
    w.write_option_tag(p.has_value());
    if (p) {
      w.write_u32(p->total_count);
      w.write_u32s(p->video_ids);
      w.write_u32s(p->video_counts);
    }
    b.resize_for_overwrite(static_cast<std::size_t>(w.position() - b.data()));
    out.ends_.set(i, b.size());
  }
  b.shrink_to_fit();
  out.bytes_ = {b.data(), b.size()};
  out.owner_ = std::move(buffer);
  return out;
}

EncodedPayloads::EncodedPayloads(const PayloadTable& table)
    : EncodedPayloads(encode_all(table.size(), [&](std::size_t i) { return table.get(i); })) {}

EncodedPayloads EncodedPayloads::reversed(const PayloadTable& table) {
  const std::size_t n = table.size();
  return encode_all(n, [&](std::size_t i) { return table.get(n - 1 - i); });
}

void EncodedPayloads::encode(format::Writer& w) const {
  w.write_len(size());
  std::uint8_t* out = w.position();
  if (!bytes_.empty()) std::memcpy(out, bytes_.data(), bytes_.size());
  // The writer's own bytes were counted with these; move past them.
  w.skip(bytes_.size());
}

EncodedPayloads EncodedPayloads::decode(format::Reader& input, std::shared_ptr<const void> owner) {
  format::Reader r = input;
  bool shortest = true;
  const std::uint64_t n = read_len(r, shortest);
  const std::uint8_t* const base = r.position();
  // Each payload takes at least its tag byte: a count larger than the input
  // can hold fails at the input's end, having reserved only what it could
  // fill.
  const std::size_t m = r.reservable(n);
  EncodedPayloads out;
  out.ends_.assign_for_overwrite(m);
  // Payloads are vouched for in batches by the scanner; one it cannot vouch
  // for is read value by value (which also reports the exact error).
  Scanner scan(base, r.end());
  constexpr std::size_t kBatch = 256;
  const std::uint8_t* batch[kBatch];
  for (std::size_t i = 0; i < m;) {
    const std::size_t want = std::min<std::size_t>(m - i, kBatch);
    const std::size_t got = scan.scanning() ? scan.run(r.position(), want, batch) : 0;
    for (std::size_t j = 0; j < got; ++j)
      out.ends_.set(i + j, static_cast<std::uint64_t>(batch[j] - base));
    i += got;
    if (got != 0) r.seek(batch[got - 1]);
    if (got < want) {
      shortest &= read_payload(r);
      out.ends_.set(i++, static_cast<std::uint64_t>(r.position() - base));
    }
  }
  if (scan.first_long_form() < r.position()) shortest = false;
  // More payloads declared than the input holds: it is used up, so this
  // read reports the end.
  if (m < n) {
    r.read_option_tag(format::kOptionPayloadTypeName);
    throw InternalFault("payload decoding stopped early");
  }
  const std::uint8_t* const stop = r.position();
  const std::size_t size = static_cast<std::size_t>(stop - base);

  if (!shortest) {
    // Longer forms than needed: write the values again in the shortest
    // form, so that equal indexes hold equal bytes. That form is never
    // longer than the one read.
    auto copy = std::shared_ptr<std::uint8_t[]>(new std::uint8_t[size]);
    EncodedPayloads shortened;
    shortened.ends_.assign_for_overwrite(m);
    format::Reader again({base, stop});
    format::Writer w({copy.get(), size});
    for (std::size_t j = 0; j < m; ++j) {
      const bool present = again.read_option_tag(format::kOptionPayloadTypeName);
      w.write_option_tag(present);
      if (present) {
        w.write_u32(again.read_u32());
        for (int list = 0; list < 2; ++list) {
          const std::uint64_t k = again.read_len();
          w.write_len(k);
          for (std::uint64_t e = 0; e < k; ++e) w.write_u32(again.read_u32());
        }
      }
      shortened.ends_.set(j, static_cast<std::uint64_t>(w.position() - copy.get()));
    }
    shortened.bytes_ = {copy.get(), static_cast<std::size_t>(w.position() - copy.get())};
    shortened.owner_ = std::move(copy);
    out = std::move(shortened);
  } else if (owner) {
    out.owner_ = std::move(owner);
    out.bytes_ = {base, stop};
  } else {
    auto copy = std::shared_ptr<std::uint8_t[]>(new std::uint8_t[size]);
    if (size != 0) std::memcpy(copy.get(), base, size);
    out.bytes_ = {copy.get(), size};
    out.owner_ = std::move(copy);
  }
  input = r;
  return out;
}

bool EncodedPayloads::operator==(const EncodedPayloads& o) const {
  if (size() != o.size() || bytes_.size() != o.bytes_.size()) return false;
  return bytes_.empty() || std::memcmp(bytes_.data(), o.bytes_.data(), bytes_.size()) == 0;
}

}  // namespace tessaloom::payload
