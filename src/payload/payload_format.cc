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

PayloadTable PayloadTable::decode(format::Reader& input) {
  // A local copy of the reader keeps its position in a register through the
  // loop; it is handed back at the end (on failure nothing is kept anyway).
  format::Reader r = input;
  PayloadTable t;
  const std::uint64_t n = r.read_len();
  // Each payload takes at least its tag byte, and each entry at least one
  // byte: nothing is reserved beyond what the rest of the input can hold, so
  // a huge declared count fails at the input's end without being reserved.
  const std::size_t m = r.reservable(n);
  t.present_.reserve(m);
  t.total_.reserve(m);
  t.id_end_.reserve(m);
  t.count_end_.reserve(m);
  // The entries' count is not known up front: a guess bounded by the input
  // (an entry of id and count rarely takes under 4 bytes), then doubling.
  t.ids_.reserve(r.remaining() / 4);
  t.counts_.reserve(r.remaining() / 4);
  for (std::uint64_t i = 0; i < n; ++i) {
    if (!r.read_option_tag(format::kOptionPayloadTypeName)) {
      t.push_absent();
      continue;
    }
    const std::uint32_t total = r.read_u32();
    for (std::uint64_t k = r.read_len(); k > 0; --k) t.ids_.push_back(r.read_u32());
    for (std::uint64_t k = r.read_len(); k > 0; --k) t.counts_.push_back(r.read_u32());
    t.present_.push_back(1);
    t.total_.push_back(total);
    t.id_end_.push_back(t.ids_.size());
    t.count_end_.push_back(t.counts_.size());
  }
  input = r;
  return t;
}

}  // namespace tessaloom
