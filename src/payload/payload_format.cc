#include <algorithm>

#include "common/fault.h"
#include "format/format.h"
#include "payload/payload.h"

namespace tessaloom {

std::size_t PayloadTable::encoded_size() const {
  const std::size_t n = size();
  // The length and a tag per node; then, per present node, its total and
  // two vector lengths. Absent nodes own no entries, so the entries are
  // counted straight off the flat arrays.
  std::size_t bytes = format::varint_size(n) + n;
  std::uint64_t id_begin = 0, count_begin = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (present_[i]) {
      bytes += format::u32_size(total_[i]) +
               format::varint_size(id_end_[i] - id_begin) +
               format::varint_size(count_end_[i] - count_begin);
    }
    id_begin = id_end_[i];
    count_begin = count_end_[i];
  }
  for (std::uint32_t v : ids_) bytes += format::u32_size(v);
  for (std::uint32_t v : counts_) bytes += format::u32_size(v);
  return bytes;
}

void PayloadTable::encode(format::Writer& out) const {
  // A local copy of the writer: its position can then live in a register,
  // where byte stores through the output would otherwise force it to memory.
  format::Writer w = out;
  const std::size_t n = size();
  w.write_len(n);
  std::uint64_t id_begin = 0, count_begin = 0;
  for (std::size_t i = 0; i < n; ++i) {
    w.write_option_tag(present_[i] != 0);
    if (present_[i]) {
      w.write_u32(total_[i]);
      w.write_u32s(std::span<const std::uint32_t>(ids_).subspan(
          id_begin, id_end_[i] - id_begin));
      w.write_u32s(std::span<const std::uint32_t>(counts_).subspan(
          count_begin, count_end_[i] - count_begin));
    }
    id_begin = id_end_[i];
    count_begin = count_end_[i];
  }
  out = w;
}

namespace {

// A vector of u32 filled through a raw cursor: grown ahead in doubling
// steps (never past what the rest of the input can hold), written without a
// capacity check per element, and cut to the used length at the end.
class U32Sink {
 public:
  // Starts after v's elements, with room for about `guess` more.
  U32Sink(std::vector<std::uint32_t>& v, std::size_t guess)
      : v_(v), used_(v.size()) {
    v_.resize(used_ + guess);
  }
  ~U32Sink() { v_.resize(used_); }
  std::size_t used() const { return used_; }

  // Reads a vector of u32 (its length, then its elements) onto the end.
  void read(format::Reader& r) {
    const std::uint64_t n = r.read_len();
    const std::size_t fit = r.reservable(n);
    if (v_.size() - used_ < fit) {
      const std::size_t bound = used_ + r.remaining();
      v_.resize(std::min(std::max(used_ + fit, 2 * v_.size()), bound));
    }
    std::uint32_t* dst = v_.data() + used_;
    for (std::size_t k = 0; k < fit; ++k) dst[k] = r.read_u32();
    used_ += fit;
    // More declared than the input holds: the input is used up now (each
    // element took a byte), so this read reports the end.
    if (fit < n) r.read_u32();
  }

 private:
  std::vector<std::uint32_t>& v_;
  std::size_t used_;
};

}  // namespace

PayloadTable PayloadTable::decode(format::Reader& input) {
  // A local copy of the reader keeps its position in a register through the
  // loop; it is handed back at the end (on failure nothing is kept anyway).
  format::Reader r = input;
  PayloadTable t;
  const std::uint64_t n = r.read_len();
  // Each payload takes at least its tag byte, so a count larger than the
  // input can hold fails at the input's end, having reserved only what the
  // input could fill.
  const std::size_t m = r.reservable(n);
  t.present_.resize(m);
  t.total_.resize(m);
  t.id_end_.resize(m);
  t.count_end_.resize(m);
  std::size_t i = 0;
  {
    // The entries' count is not known up front: start from a guess bounded
    // by the input, then double.
    U32Sink ids(t.ids_, r.remaining() / 8), counts(t.counts_, r.remaining() / 8);
    std::uint64_t id_end = 0, count_end = 0;
    for (; i < n; ++i) {
      if (i == m) {
        // Only when more payloads are declared than the input holds: it is
        // used up, so this read reports the end.
        r.read_option_tag(format::kOptionPayloadTypeName);
        break;
      }
      if (r.read_option_tag(format::kOptionPayloadTypeName)) {
        t.present_[i] = 1;
        t.total_[i] = r.read_u32();
        ids.read(r);
        counts.read(r);
        id_end = ids.used();
        count_end = counts.used();
      }
      t.id_end_[i] = id_end;
      t.count_end_[i] = count_end;
    }
  }
  if (i != n) throw InternalFault("payload decoding stopped early");
  input = r;
  return t;
}

}  // namespace tessaloom
