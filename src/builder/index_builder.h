// Building an index from records of (term, video, count), natively: the
// records are read one at a time into compact tables (each distinct term
// once, each video numbered in order of first appearance), then the trie is
// laid out and its payloads are pushed up (builder/propagate.h); the trie is
// then taken as it is.
//
// The layout is the one every index is built with: nodes numbered
// breadth-first, each node's children in code-point order, the root first
// with label U+0000; a term's payload lists its videos in order of first
// appearance, counts of repeated (term, video) records summed, and its total
// is the sum of its counts.
//
// Phases, in this order, each once: add() per record, then order(),
// build_trie(), propagate() and take_trie(). A builder whose phase threw is not
// used again. The long phases poll the thread's Interrupt (common/interrupt.h)
// and throw Interrupted when it asks them to stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/fault.h"
#include "common/pod_array.h"
#include "payload/payload.h"
#include "prefix/trie/trie.h"

namespace tessaloom::builder {

// A record the builder refuses; nothing of it is added. field() names the
// part of the record at fault: "term" (empty, holding U+0000 or not valid
// UTF-8), "count" (the term's total count would pass 2^32-1) or "video id"
// (of the other kind than the ids before it); what() says why.
class RefusedRecord : public common::InvalidInput {
 public:
  RefusedRecord(std::string_view field, const char* why)
      : common::InvalidInput(why), field_(field) {}
  std::string_view field() const { return field_; }

 private:
  std::string_view field_;
};

// The hash of the builder's tables: SipHash-1-3 of the bytes under a key
// drawn at random once per process, so that no input can be made whose keys
// collide (ids or terms crafted against a fixed hash would make numbering
// quadratic).
std::uint64_t keyed_hash(const void* data, std::size_t n);

// Numbers keys in order of first appearance: an open-addressing table of
// numbers, the keys themselves held by the caller and compared through it.
class Numbering {
 public:
  struct Found {
    std::uint32_t number;  // when found
    std::size_t slot;      // where to insert, when not found
    bool found;
  };
  // Looks for the key with this hash for which same(number) holds. Makes
  // room first, so that insert() at the returned slot always fits.
  template <class Same>
  Found find(std::uint64_t hash, Same&& same) {
    if ((used_ + 1) * 4 > slots_.size() * 3) grow();
    const std::size_t mask = slots_.size() - 1;
    const auto h = static_cast<std::uint32_t>(hash);
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot s = slots_[i];
      if (s.number_plus_one == 0) return {0, i, false};
      if (s.hash == h && same(s.number_plus_one - 1)) {
        return {s.number_plus_one - 1, i, true};
      }
    }
  }
  // Records `number` at the slot that find() returned for this hash.
  void insert(std::size_t slot, std::uint64_t hash, std::uint32_t number) {
    slots_[slot] = {number + 1, static_cast<std::uint32_t>(hash)};
    ++used_;
  }
  // Starts loading the slot a find() for this hash looks at first.
  void prefetch(std::uint64_t hash) const {
    if (!slots_.empty())
      __builtin_prefetch(&slots_[static_cast<std::uint32_t>(hash) & (slots_.size() - 1)]);
  }
  // The number in that first slot when its hash matches, else -1.
  std::int64_t first_guess(std::uint64_t hash) const {
    if (slots_.empty()) return -1;
    const Slot s = slots_[static_cast<std::uint32_t>(hash) & (slots_.size() - 1)];
    if (s.number_plus_one == 0 || s.hash != static_cast<std::uint32_t>(hash)) return -1;
    return s.number_plus_one - 1;
  }
  void clear() {
    common::PodArray<Slot>().swap(slots_);
    used_ = 0;
  }

 private:
  struct Slot {
    std::uint32_t number_plus_one;  // 0: empty
    std::uint32_t hash;             // the hash's low 32 bits
  };
  void grow();
  common::PodArray<Slot> slots_;
  std::size_t used_ = 0;
};

class IndexBuilder {
 public:
  // The number of a video, numbering it if it is new. Throws RefusedRecord
  // when the videos so far are of the other kind (UUIDs and integers are
  // never mixed).
  std::uint32_t uuid_video(const prefix::trie::Uuid& id);
  std::uint32_t int_video(std::uint32_t id);

  // A term with the hash the builder's table keeps it under: hashed once
  // for its prefetches and its add().
  struct HashedTerm {
    std::string_view text;
    std::uint64_t hash;
  };
  static HashedTerm hashed(std::string_view term_utf8) {
    return {term_utf8, keyed_hash(term_utf8.data(), term_utf8.size())};
  }

  // Adds one record. Throws RefusedRecord, changing nothing, for a record it
  // refuses.
  void add(std::string_view term_utf8, std::uint32_t video, std::uint64_t count);
  void add(const HashedTerm& term, std::uint32_t video, std::uint64_t count);

  // Start loading what add() of this term looks at, so that the lookups of
  // several terms overlap: prefetch() for each of them, then
  // prefetch_more() for each, then add() for each.
  void prefetch(const HashedTerm& term) const;
  void prefetch_more(const HashedTerm& term) const;

  std::size_t record_count() const { return records_.size(); }
  std::size_t term_count() const { return term_end_.size(); }
  std::size_t video_count() const;
  // Known after build_trie().
  std::size_t node_count() const { return trie_.node_count(); }

  // Sorts the distinct terms by code points.
  void order();
  // Lays the trie out and fills the table of payloads each term supplies;
  // releases the record tables.
  void build_trie();
  // Pushes the payloads up the trie, keeping at most top_n per node.
  void propagate(std::size_t top_n);
  // The index itself, valid after propagate(); take_trie() moves it out.
  const prefix::trie::Trie& trie() const { return trie_; }
  prefix::trie::Trie take_trie() { return std::move(trie_); }

 private:
  struct Record {
    std::uint32_t term;
    std::uint32_t video;
    std::uint32_t count;
  };

  struct Nodes;
  struct TermEntries;

  std::string_view term(std::uint32_t t) const;
  // add(), with the term's hash computed by hash() only if needed.
  template <class Hash>
  void add_record(std::string_view text, std::uint32_t video, std::uint64_t count, Hash&& hash);
  // The steps of build_trie(), in order: the nodes the sorted terms spell,
  // in depth-first order (releases the order); the trie laid out
  // breadth-first from them, giving each node's term; each term's entries
  // (releases the records); the payloads the terms supply to their nodes
  // (releases the term tables).
  Nodes spell_nodes();
  common::PodArray<std::uint32_t> lay_out(Nodes nodes);
  TermEntries group_entries();
  void supply_payloads(const common::PodArray<std::uint32_t>& term_of, const TermEntries& terms);
  template <class Id, class Hash>
  std::uint32_t number_video(prefix::trie::IdMode mode, common::PodArray<Id>& ids, const Id& id,
                             Hash&& hash);

  // Reading.
  common::PodArray<char> term_bytes_;
  common::PodArray<std::uint64_t> term_end_;  // end of term t in term_bytes_
  common::PodArray<std::uint64_t> term_total_;
  Numbering terms_;
  Numbering videos_;
  prefix::trie::IdMode id_mode_ = prefix::trie::IdMode::Uuid;
  bool have_videos_ = false;
  common::PodArray<prefix::trie::Uuid> uuids_;
  common::PodArray<std::uint32_t> ints_;
  std::uint32_t last_video_ = 0xFFFFFFFFu;  // the number last given out
  std::uint32_t last_term_ = 0xFFFFFFFFu;   // the term of the last record added
  common::PodArray<Record> records_;

  // Ordering: the terms in code-point order.
  common::PodArray<std::uint32_t> sorted_;

  // Trie and payloads.
  prefix::trie::Trie trie_;
  payload::PayloadTable supplied_;
};

}  // namespace tessaloom::builder
