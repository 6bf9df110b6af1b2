#include "prefix/trie/trie_format.h"

#include <string>
#include <utility>

#include "common/fault.h"

namespace tessaloom::prefix::trie {

using common::InternalFault;
using common::PodArray;
using payload::EncodedPayloads;

namespace {

// Writes a long vector through a local copy of the writer, which keeps its
// position in a register through the loop.
void write_u32s(format::Writer& out, std::span<const std::uint32_t> v) {
  format::Writer w = out;
  w.write_u32s(v);
  out = w;
}

}  // namespace

std::size_t encoded_size(const Trie& t) {
  return format::u32s_size(t.node_shifts) + format::chars_size(t.child_labels) +
         format::u32s_size(t.child_transitions) + t.payloads.encoded_size() +
         format::id16s_size(t.videos.uuid_table().size()) +
         format::u32s_size(t.videos.int_table()) +
         format::varint_size(static_cast<std::uint32_t>(t.videos.kind())) +
         format::bools_size(t.terminal.size());
}

void encode_trie(const Trie& t, std::span<std::uint8_t> out) {
  format::Writer w(out);
  write_u32s(w, t.node_shifts);
  w.write_chars(t.child_labels);
  write_u32s(w, t.child_transitions);
  t.payloads.encode(w);
  w.write_id16s(t.videos.uuid_table());
  write_u32s(w, t.videos.int_table());
  w.write_variant(static_cast<std::uint32_t>(t.videos.kind()));
  w.write_bools(t.terminal);
  if (w.remaining() != 0) {
    throw InternalFault("saved index is " + std::to_string(w.remaining()) +
                        " bytes shorter than counted");
  }
}

std::vector<std::uint8_t> encode_trie(const Trie& t) {
  std::vector<std::uint8_t> out(encoded_size(t));
  encode_trie(t, out);
  return out;
}

Trie decode_trie(std::span<const std::uint8_t> bytes, std::shared_ptr<const void> owner,
                 std::size_t* end) {
  format::Reader r(bytes);
  Trie t;
  r.read_u32s(t.node_shifts, r.read_len());
  r.read_chars(t.child_labels, r.read_len());
  r.read_u32s(t.child_transitions, r.read_len());
  t.payloads = EncodedPayloads::decode(r, std::move(owner));
  PodArray<Uuid> uuids;
  r.read_id16s(uuids, r.read_len());
  PodArray<std::uint32_t> ints;
  r.read_u32s(ints, r.read_len());
  const auto kind = static_cast<IdMode>(r.read_variant(format::kIdModeTypeName));
  t.videos = VideoIds(kind, std::move(uuids), std::move(ints));
  r.read_bools(t.terminal, r.read_len());
  if (end != nullptr) *end = bytes.size() - r.remaining();
  return t;
}

}  // namespace tessaloom::prefix::trie
