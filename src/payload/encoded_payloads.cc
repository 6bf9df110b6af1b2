#include "payload/encoded_payloads.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "payload/payload_scan.h"

namespace tessaloom {

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
    payload_detail::throw_malformed();
  }
}

}  // namespace

namespace payload_detail {

void throw_malformed() {
  throw InternalFault("stored payload bytes do not decode");
}

std::uint32_t next_u32_slow(const std::uint8_t*& p, const std::uint8_t* end) {
  return read_stored(p, end, [](format::Reader& r) { return r.read_u32(); });
}

std::uint64_t next_len_slow(const std::uint8_t*& p, const std::uint8_t* end) {
  return read_stored(p, end, [](format::Reader& r) { return r.read_len(); });
}

}  // namespace payload_detail

namespace {

// Reads one optional payload value by value with every check. Returns
// whether every value in it was in its shortest form.
bool read_payload(format::Reader& r) {
  if (!r.read_option_tag(format::kOptionPayloadTypeName)) return true;
  bool shortest = true;
  auto u32 = [&] {
    const std::uint8_t* at = r.position();
    const std::uint32_t v = r.read_u32();
    shortest &= static_cast<std::size_t>(r.position() - at) == format::u32_size(v);
  };
  auto len = [&] {
    const std::uint8_t* at = r.position();
    const std::uint64_t v = r.read_len();
    shortest &= static_cast<std::size_t>(r.position() - at) == format::varint_size(v);
    return v;
  };
  u32();
  // A declared length larger than the input ends with the input: each value
  // takes at least one byte.
  for (std::uint64_t k = len(); k > 0; --k) u32();
  for (std::uint64_t k = len(); k > 0; --k) u32();
  return shortest;
}

}  // namespace

Payload EncodedPayload::decode() const {
  Payload out;
  out.total_count = total_count;
  const std::uint8_t* p = ids;
  for (std::uint64_t k = 0; k < id_count; ++k)
    out.video_ids.push_back(payload_detail::next_u32(p, ids_end));
  p = counts;
  for (std::uint64_t k = 0; k < count_count; ++k)
    out.video_counts.push_back(payload_detail::next_u32(p, end));
  return out;
}

template <class Get>
EncodedPayloads EncodedPayloads::encode_all(std::size_t count, Get get) {
  std::size_t size = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::optional<PayloadView> p = get(i);
    size += 1;
    if (p) {
      size += format::u32_size(p->total_count) + format::u32s_size(p->video_ids) +
              format::u32s_size(p->video_counts);
    }
  }
  auto buffer = std::shared_ptr<std::uint8_t[]>(new std::uint8_t[size]);
  EncodedPayloads out;
  out.ends_.resize_for_overwrite(count);
  // A local writer keeps its position in a register through the loop.
  format::Writer w({buffer.get(), size});
  for (std::size_t i = 0; i < count; ++i) {
    const std::optional<PayloadView> p = get(i);
    w.write_option_tag(p.has_value());
    if (p) {
      w.write_u32(p->total_count);
      w.write_u32s(p->video_ids);
      w.write_u32s(p->video_counts);
    }
    out.ends_.set(i, static_cast<std::uint64_t>(w.position() - buffer.get()));
  }
  if (w.remaining() != 0) throw InternalFault("payloads took fewer bytes than counted");
  out.bytes_ = {buffer.get(), size};
  out.owner_ = std::move(buffer);
  out.owns_bytes_ = true;
  return out;
}

EncodedPayloads::EncodedPayloads(const PayloadTable& table)
    : EncodedPayloads(encode_all(table.size(), [&](std::size_t i) { return table.get(i); })) {}

EncodedPayloads EncodedPayloads::reversed(const PayloadTable& table) {
  const std::size_t n = table.size();
  return encode_all(n, [&](std::size_t i) { return table.get(n - 1 - i); });
}

std::optional<EncodedPayload> EncodedPayloads::get(std::size_t i) const {
  const std::uint8_t* p;
  const std::uint8_t* stop;
  locate(i, &p, &stop);
  const std::uint8_t tag = *p++;
  if (tag == 0) return std::nullopt;
  if (tag != 1) payload_detail::throw_malformed();
  EncodedPayload out;
  out.total_count = payload_detail::next_u32(p, stop);
  out.id_count = payload_detail::next_len(p, stop);
  out.ids = p;
  for (std::uint64_t k = 0; k < out.id_count; ++k) payload_detail::next_u32(p, stop);
  out.ids_end = p;
  out.count_count = payload_detail::next_len(p, stop);
  out.counts = p;
  out.end = stop;
  return out;
}

std::optional<Payload> EncodedPayloads::payload(std::size_t i) const {
  const std::optional<EncodedPayload> p = get(i);
  if (!p) return std::nullopt;
  return p->decode();
}

void EncodedPayloads::encode(format::Writer& w) const {
  w.write_len(size());
  std::uint8_t* out = w.position();
  if (!bytes_.empty()) std::memcpy(out, bytes_.data(), bytes_.size());
  // The writer's own bytes were counted with these; move past them.
  w.skip(bytes_.size());
}

EncodedPayloads EncodedPayloads::decode(format::Reader& input,
                                        std::shared_ptr<const void> owner) {
  format::Reader r = input;
  const std::uint8_t* const start = r.position();
  const std::uint64_t n = r.read_len();
  bool shortest =
      static_cast<std::size_t>(r.position() - start) == format::varint_size(n);
  const std::uint8_t* const base = r.position();
  // Each payload takes at least its tag byte: a count larger than the input
  // can hold fails at the input's end, having reserved only what it could
  // fill.
  const std::size_t m = r.reservable(n);
  EncodedPayloads out;
  out.ends_.resize_for_overwrite(m);
  payload_scan::Scanner scan(base, r.end());
  // Payloads are vouched for in batches by the scanner; one it cannot vouch
  // for is read value by value (which also reports the exact error).
  constexpr std::size_t kBatch = 256;
  const std::uint8_t* batch[kBatch];
  std::size_t i = 0;
  while (i < n) {
    if (i == m) {
      // More payloads declared than the input holds: it is used up, so this
      // read reports the end.
      r.read_option_tag(format::kOptionPayloadTypeName);
      break;
    }
    const std::size_t want = std::min<std::size_t>(m - i, kBatch);
    const std::size_t got = scan.run(r.position(), want, batch);
    for (std::size_t j = 0; j < got; ++j)
      out.ends_.set(i + j, static_cast<std::uint64_t>(batch[j] - base));
    i += got;
    if (got != 0) r.seek(batch[got - 1]);
    if (got < want) {
      shortest &= read_payload(r);
      out.ends_.set(i, static_cast<std::uint64_t>(r.position() - base));
      ++i;
    }
  }
  if (i != n) throw InternalFault("payload decoding stopped early");
  const std::uint8_t* const stop = r.position();
  if (scan.first_long_form() < stop) shortest = false;

  if (!shortest) {
    // Longer forms than needed: read the values and keep them in the
    // shortest form, so that equal indexes hold equal bytes.
    format::Reader again({start, input.end()});
    out = EncodedPayloads(PayloadTable::decode(again));
  } else if (owner) {
    out.owner_ = std::move(owner);
    out.bytes_ = {base, stop};
  } else {
    const std::size_t size = static_cast<std::size_t>(stop - base);
    auto copy = std::shared_ptr<std::uint8_t[]>(new std::uint8_t[size]);
    if (size != 0) std::memcpy(copy.get(), base, size);
    out.bytes_ = {copy.get(), size};
    out.owner_ = std::move(copy);
    out.owns_bytes_ = true;
  }
  input = r;
  return out;
}

bool EncodedPayloads::operator==(const EncodedPayloads& o) const {
  if (size() != o.size() || bytes_.size() != o.bytes_.size()) return false;
  return bytes_.empty() ||
         std::memcmp(bytes_.data(), o.bytes_.data(), bytes_.size()) == 0;
}

}  // namespace tessaloom
