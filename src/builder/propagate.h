// Propagation, the last step of building an index: the payloads supplied per
// node (a term's videos at the node that ends it) pushed up the trie, so that
// every node holds the videos of the terms below it, best first, cut to the
// first top_n.
#pragma once

#include <cstddef>

#include "payload/encoded_payloads.h"
#include "payload/payload.h"
#include "prefix/trie/trie.h"

namespace tessaloom::builder {

// The payloads of `trie`'s nodes from those `supplied` per node: absent
// payloads become empty, then from the highest node number down to 0 each
// node merges its children's payloads (merge_entries; a child numbered above
// its parent has already been finished, one numbered below contributes its
// payload as supplied, a self edge is skipped) and is cut to its first top_n
// entries. Iterative: the trie's depth does not reach the call stack. Throws
// InternalFault on an edge range past the edge count, a child past the node
// count or a table not of one payload per node, and Interrupted when the
// thread's Interrupt (common/interrupt.h) asks it to stop.
//
// `videos` is the size of the video table, when known: merges whose entries
// all lie below it group them through tables of that size (8 bytes per
// video) instead of sorting them. The payloads are the same either way.
payload::EncodedPayloads propagate(const prefix::trie::Trie& trie,
                                   const payload::PayloadTable& supplied, std::size_t top_n,
                                   std::size_t videos = 0);

}  // namespace tessaloom::builder
