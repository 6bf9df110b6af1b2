// Saving and restoring a Trie: eight fields, one after the other, in the
// byte format of format/format.h, with no header.
//
//   1 node_shifts        vector of u32
//   2 child_labels       vector of characters (UTF-8)
//   3 child_transitions  vector of u32
//   4 payloads           vector of optional payloads
//   5 video uuids        vector of 16-byte ids (videos.uuid_table())
//   6 video integer ids  vector of u32 (videos.int_table())
//   7 id kind            variant number (u32): 0 Uuid, 1 Int32
//   8 terminal           vector of booleans
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "format/format.h"
#include "prefix/trie/trie.h"

namespace tessaloom::prefix::trie {

// The exact number of bytes encode_trie writes. Throws InternalFault for a
// label that is not a Unicode scalar value (no trie built from Python holds
// one).
std::size_t encoded_size(const Trie& trie);

// Writes the trie into `out`, which must be exactly encoded_size(trie)
// bytes.
void encode_trie(const Trie& trie, std::span<std::uint8_t> out);

// Counts, reserves once and writes.
std::vector<std::uint8_t> encode_trie(const Trie& trie);

// Reads a trie from the front of `bytes`; bytes after the eighth field are
// ignored. Values are taken as saved: nothing checks that the arrays make a
// tree. Never reserves more than the input can fill. Throws
// format::DecodeError at the first problem, std::bad_alloc when memory runs
// out.
//
// With an `owner` that keeps `bytes` alive and unchanged, the payloads are
// used where they lie in `bytes` (see EncodedPayloads); without, they are
// copied. With `end`, a decoded trie sets it to the number of bytes its
// fields took.
Trie decode_trie(std::span<const std::uint8_t> bytes, std::shared_ptr<const void> owner = nullptr,
                 std::size_t* end = nullptr);

}  // namespace tessaloom::prefix::trie
