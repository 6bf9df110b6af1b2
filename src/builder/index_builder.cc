#include "builder/index_builder.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <exception>
#include <random>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/budget.h"
#include "common/interrupt.h"
#include "common/text.h"
#include "builder/propagate.h"

namespace tessaloom::builder {

using common::decode_utf8;
using common::PodArray;
using common::Poll;
using prefix::trie::IdMode;

namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t kNoTerm = std::numeric_limits<std::uint32_t>::max();

std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

// The key of this process's tables, drawn once: without it, nobody can make
// keys that collide in them, so no input makes numbering slower than linear.
const std::array<std::uint64_t, 2>& process_key() {
  static const std::array<std::uint64_t, 2> key = [] {
    std::array<std::uint64_t, 2> k{};
    try {
      std::random_device device;
      for (std::uint64_t& word : k) word = (std::uint64_t{device()} << 32) ^ device();
    } catch (const std::exception&) {
      // No entropy source: the clock and an address still differ by process.
      k[0] =
          static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      k[1] = reinterpret_cast<std::uintptr_t>(&k) * 0x9E3779B97F4A7C15u;
    }
    return k;
  }();
  return key;
}

}  // namespace

// SipHash-1-3: one compression round per 8 bytes, three finalisation rounds.
std::uint64_t keyed_hash(const void* data, std::size_t n) {
  const auto& key = process_key();
  std::uint64_t v0 = key[0] ^ 0x736f6d6570736575u, v1 = key[1] ^ 0x646f72616e646f6du;
  std::uint64_t v2 = key[0] ^ 0x6c7967656e657261u, v3 = key[1] ^ 0x7465646279746573u;
  auto round = [&] {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  };
  const auto* p = static_cast<const unsigned char*>(data);
  const std::size_t whole = n & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t m;
    std::memcpy(&m, p + i, 8);
    v3 ^= m;
    round();
    v0 ^= m;
  }
  std::uint64_t last = std::uint64_t{n & 0xFF} << 56;
  for (std::size_t i = whole; i < n; ++i) last |= std::uint64_t{p[i]} << (8 * (i - whole));
  v3 ^= last;
  round();
  v0 ^= last;
  v2 ^= 0xFF;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

namespace {

bool is_ascii(std::string_view s) {
  unsigned char any = 0;
  for (const char c : s) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

// The code points of a term that add() accepted (valid UTF-8).
void code_points(std::string_view s, std::vector<char32_t>& out) {
  if (is_ascii(s)) {
    out.assign(s.begin(), s.end());
    for (char32_t& c : out) c &= 0x7F;
  } else {
    out = decode_utf8(s);
  }
}

// The first 8 bytes of s, big-endian, padded with zeros: ordering by it
// orders by those bytes, and a term (which holds no zero byte) shorter than
// 8 bytes before every longer term it begins.
std::uint64_t leading_bytes(std::string_view s) {
  std::uint64_t v = 0;
  const std::size_t n = std::min<std::size_t>(s.size(), 8);
  for (std::size_t k = 0; k < n; ++k) {
    v |= std::uint64_t{static_cast<unsigned char>(s[k])} << (56 - 8 * k);
  }
  return v;
}

[[noreturn, gnu::cold, gnu::noinline]] void refuse(std::string_view field, const char* why) {
  throw RefusedRecord(field, why);
}

[[noreturn]] void refuse_total() { refuse("count", "the term's total count would pass 2^32-1"); }

std::uint32_t checked_u32(std::size_t n) {
  if (n >= kMaxU32) throw common::TooLarge("more than 2^32-2 terms, videos or nodes");
  return static_cast<std::uint32_t>(n);
}

// Frees an array's memory now rather than when the builder goes.
template <class T>
void release(PodArray<T>& a) {
  PodArray<T>().swap(a);
}

}  // namespace

void Numbering::grow() {
  const std::size_t size = std::max<std::size_t>(1024, 2 * slots_.size());
  PodArray<Slot> grown(size, Slot{0, 0});  // the table stays as it was if this throws
  const std::size_t mask = size - 1;
  for (const Slot& s : slots_) {
    if (s.number_plus_one == 0) continue;
    std::size_t i = s.hash & mask;
    while (grown[i].number_plus_one != 0) i = (i + 1) & mask;
    grown[i] = s;
  }
  slots_.swap(grown);
}

template <class Id, class Hash>
std::uint32_t IndexBuilder::number_video(IdMode mode, PodArray<Id>& ids, const Id& id,
                                         Hash&& hash) {
  if (have_videos_ && id_mode_ != mode) {
    refuse("video id", "video ids must be all UUIDs or all integers");
  }
  // A video's records often come one after the other (the terms of one
  // title): the last video is checked before the table.
  if (last_video_ < ids.size() && ids[last_video_] == id) return last_video_;
  const std::uint64_t h = hash();
  const Numbering::Found f = videos_.find(h, [&](std::uint32_t v) { return ids[v] == id; });
  if (f.found) {
    last_video_ = f.number;
    return f.number;
  }
  const std::uint32_t v = checked_u32(ids.size());
  ids.push_back(id);
  videos_.insert(f.slot, h, v);
  id_mode_ = mode;
  have_videos_ = true;
  last_video_ = v;
  return v;
}

std::uint32_t IndexBuilder::uuid_video(const prefix::trie::Uuid& id) {
  return number_video(IdMode::Uuid, uuids_, id, [&] { return keyed_hash(id.data(), id.size()); });
}

std::uint32_t IndexBuilder::int_video(std::uint32_t id) {
  return number_video(IdMode::Int32, ints_, id, [&] { return keyed_hash(&id, sizeof id); });
}

std::size_t IndexBuilder::video_count() const {
  return id_mode_ == IdMode::Uuid ? uuids_.size() : ints_.size();
}

std::string_view IndexBuilder::term(std::uint32_t t) const {
  const std::uint64_t begin = t == 0 ? 0 : term_end_[t - 1];
  return {term_bytes_.data() + begin, static_cast<std::size_t>(term_end_[t] - begin)};
}

void IndexBuilder::prefetch(const HashedTerm& term) const { terms_.prefetch(term.hash); }

void IndexBuilder::prefetch_more(const HashedTerm& term) const {
  const std::int64_t t = terms_.first_guess(term.hash);
  if (t < 0) return;
  __builtin_prefetch(&term_end_[t]);
  __builtin_prefetch(&term_total_[t]);
}

void IndexBuilder::add(std::string_view text, std::uint32_t video, std::uint64_t count) {
  add_record(text, video, count, [&] { return keyed_hash(text.data(), text.size()); });
}

void IndexBuilder::add(const HashedTerm& term, std::uint32_t video, std::uint64_t count) {
  add_record(term.text, video, count, [&] { return term.hash; });
}

template <class Hash>
void IndexBuilder::add_record(std::string_view text, std::uint32_t video, std::uint64_t count,
                              Hash&& hash) {
  if (text.empty()) refuse("term", "term must not be empty");
  if (std::memchr(text.data(), 0, text.size()) != nullptr) {
    refuse("term", "term must not contain U+0000");
  }
  records_.reserve_more(1);
  // A term's records often come one after the other (records grouped by
  // term): the last term is checked before the table.
  std::uint32_t t = last_term_;
  bool known = t < term_end_.size() && term(t) == text;
  std::uint64_t h = 0;
  Numbering::Found f{};
  if (!known) {
    h = hash();
    f = terms_.find(h, [&](std::uint32_t k) { return term(k) == text; });
    known = f.found;
    t = f.number;
  }
  if (known) {
    if (count > kMaxU32 - term_total_[t]) refuse_total();
    term_total_[t] += count;
  } else {
    if (!is_ascii(text)) {
      try {
        decode_utf8(text);
      } catch (const common::InvalidInput&) {
        refuse("term", "term must be valid Unicode");
      }
    }
    if (count > kMaxU32) refuse_total();
    t = checked_u32(term_end_.size());
    term_end_.reserve_more(1);
    term_total_.reserve_more(1);
    term_bytes_.append(text.data(), text.size());
    term_end_.push_back(term_bytes_.size());
    term_total_.push_back(count);
    terms_.insert(f.slot, h, t);
  }
  last_term_ = t;
  records_.push_back({t, video, static_cast<std::uint32_t>(count)});
}

void IndexBuilder::order() {
  struct Key {
    std::uint64_t lead;
    std::uint32_t term;
  };
  const std::size_t n = term_count();
  Poll poll;
  PodArray<Key> keys;
  keys.resize_for_overwrite(n);
  for (std::size_t t = 0; t < n; ++t) {
    poll();
    keys[t] = {leading_bytes(term(static_cast<std::uint32_t>(t))), static_cast<std::uint32_t>(t)};
  }
  // Terms that share their first 8 bytes are both at least 8 bytes long.
  const auto before = [&](const Key& a, const Key& b) {
    if (a.lead != b.lead) return a.lead < b.lead;
    return term(a.term).substr(8) < term(b.term).substr(8);
  };
  // Sorted in runs of kRun keys, then runs merged in pairs, with a poll
  // after each run and merge rather than in every comparison. An
  // interrupted sort leaves the keys in some order, and they are dropped.
  constexpr std::size_t kRun = std::size_t{1} << 16;
  for (std::size_t b = 0; b < n; b += kRun) {
    std::sort(keys.begin() + b, keys.begin() + std::min(n, b + kRun), before);
    poll.now();
  }
  if (n > kRun) {
    PodArray<Key> merged;
    merged.resize_for_overwrite(n);
    for (std::size_t width = kRun; width < n; width *= 2) {
      for (std::size_t b = 0; b < n; b += 2 * width) {
        const std::size_t mid = std::min(n, b + width), end = std::min(n, b + 2 * width);
        std::merge(keys.begin() + b, keys.begin() + mid, keys.begin() + mid, keys.begin() + end,
                   merged.begin() + b, before);
        poll.now();
      }
      keys.swap(merged);
    }
  }
  sorted_.resize_for_overwrite(n);
  for (std::size_t k = 0; k < n; ++k) sorted_[k] = keys[k].term;
  terms_.clear();
}

// The trie's nodes in depth-first order: each node's depth, label, number
// of children and the term it ends (kNoTerm for none).
struct IndexBuilder::Nodes {
  PodArray<std::uint32_t> depth, children, term_at;
  PodArray<char32_t> label;

  std::size_t size() const { return depth.size(); }
  void add(std::uint32_t d, char32_t c) {
    checked_u32(depth.size());
    depth.push_back(d);
    label.push_back(c);
    children.push_back(0);
    term_at.push_back(kNoTerm);
  }
};

// Each term's entries, one per video, in the order of the term's records:
// term k's are entries[start[k]] up to entries[start[k + 1]].
struct IndexBuilder::TermEntries {
  struct Entry {
    std::uint32_t video;
    std::uint32_t count;
  };
  PodArray<std::uint64_t> start;
  PodArray<Entry> entries;
};

void IndexBuilder::build_trie() {
  const PodArray<std::uint32_t> term_of = lay_out(spell_nodes());
  supply_payloads(term_of, group_entries());
  trie_.videos = prefix::trie::VideoIds(id_mode_, std::move(uuids_), std::move(ints_));
}

IndexBuilder::Nodes IndexBuilder::spell_nodes() {
  // Each term adds a node for every character after the part it shares with
  // the term before it.
  Poll poll;
  Nodes nodes;
  nodes.add(0, U'\0');
  std::vector<std::uint32_t> path{0};  // the nodes spelling the last term
  std::vector<char32_t> prev, cur;
  for (const std::uint32_t t : sorted_) {
    poll();
    code_points(term(t), cur);
    std::size_t common = 0;
    const std::size_t limit = std::min(prev.size(), cur.size());
    while (common < limit && prev[common] == cur[common]) ++common;
    path.resize(common + 1);
    for (std::size_t j = common; j < cur.size(); ++j) {
      ++nodes.children[path.back()];
      path.push_back(static_cast<std::uint32_t>(nodes.size()));
      nodes.add(static_cast<std::uint32_t>(j + 1), cur[j]);
    }
    // Distinct terms in order: the term is never a prefix of the one before,
    // so its last node is new.
    nodes.term_at[path.back()] = t;
    std::swap(prev, cur);
  }
  release(sorted_);
  return nodes;
}

PodArray<std::uint32_t> IndexBuilder::lay_out(Nodes nodes) {
  // Breadth-first numbers: restricted to one depth, depth-first order with
  // children in code-point order is breadth-first order, so the numbers
  // come from a counting sort by depth.
  Poll poll;
  const std::size_t n = nodes.size();
  std::vector<std::uint32_t> level_start;
  for (std::size_t i = 0; i < n; ++i) {
    if (nodes.depth[i] >= level_start.size()) level_start.resize(nodes.depth[i] + 1, 0);
    ++level_start[nodes.depth[i]];
  }
  std::uint32_t sum = 0;
  for (std::uint32_t& s : level_start) sum += std::exchange(s, sum);

  prefix::trie::Trie& t = trie_;
  t.child_labels.resize(n);
  t.terminal.resize(n);
  t.node_shifts.resize(n);
  PodArray<std::uint32_t> term_of;  // by breadth-first number
  term_of.resize_for_overwrite(n);
  PodArray<std::uint32_t> child_count;
  child_count.resize_for_overwrite(n);
  for (std::size_t i = 0; i < n; ++i) {
    poll();
    const std::uint32_t b = level_start[nodes.depth[i]]++;
    t.child_labels[b] = nodes.label[i];
    t.terminal[b] = nodes.term_at[i] != kNoTerm;
    term_of[b] = nodes.term_at[i];
    child_count[b] = nodes.children[i];
  }
  nodes = Nodes();
  // Every node but the root is a child, and the children of each node are
  // consecutive numbers: edge e leads to node e + 1.
  std::uint32_t edges = 0;
  for (std::size_t b = 0; b < n; ++b) {
    t.node_shifts[b] = edges;
    edges += child_count[b];
  }
  t.child_transitions.resize(edges);
  for (std::uint32_t e = 0; e < edges; ++e) t.child_transitions[e] = e + 1;
  return term_of;
}

IndexBuilder::TermEntries IndexBuilder::group_entries() {
  // A counting sort of the records by term, then each term's repeated
  // videos summed into their first entry, in place.
  Poll poll;
  const std::size_t n_terms = term_count();
  TermEntries out;
  PodArray<std::uint64_t>& start = out.start;
  start.assign(n_terms + 1, 0);
  for (const Record& r : records_) ++start[r.term + 1];
  for (std::size_t k = 1; k <= n_terms; ++k) start[k] += start[k - 1];
  PodArray<TermEntries::Entry>& entries = out.entries;
  entries.resize_for_overwrite(records_.size());
  {
    PodArray<std::uint64_t> next;
    next.append(start.data(), n_terms);
    for (const Record& r : records_) entries[next[r.term]++] = {r.video, r.count};
  }
  release(records_);
  const std::size_t n_videos = video_count();
  PodArray<std::uint32_t> seen_by;  // 1 + the last term that saw the video
  seen_by.assign(n_videos, 0);
  PodArray<std::uint32_t> position;
  position.resize_for_overwrite(n_videos);
  std::uint64_t end = 0;
  for (std::size_t k = 0; k < n_terms; ++k) {
    poll();
    const std::uint64_t begin = end;
    const std::uint32_t stamp = static_cast<std::uint32_t>(k + 1);
    for (std::uint64_t r = start[k]; r < start[k + 1]; ++r) {
      const TermEntries::Entry e = entries[r];
      if (seen_by[e.video] == stamp) {
        // Within the term's total, which fits 32 bits.
        entries[begin + position[e.video]].count += e.count;
      } else {
        seen_by[e.video] = stamp;
        position[e.video] = static_cast<std::uint32_t>(end - begin);
        entries[end++] = e;
      }
    }
    start[k] = begin;
  }
  start[n_terms] = end;
  return out;
}

void IndexBuilder::supply_payloads(const PodArray<std::uint32_t>& term_of,
                                   const TermEntries& terms) {
  Poll poll;
  const std::size_t n = term_of.size();
  supplied_.reserve(n, terms.start[term_count()]);
  for (std::size_t b = 0; b < n; ++b) {
    poll();
    const std::uint32_t k = term_of[b];
    if (k == kNoTerm) {
      supplied_.push_absent();
      continue;
    }
    const std::size_t m = static_cast<std::size_t>(terms.start[k + 1] - terms.start[k]);
    const payload::PayloadTable::Slot s =
        supplied_.push_uninitialized(static_cast<std::uint32_t>(term_total_[k]), m);
    for (std::size_t j = 0; j < m; ++j) {
      const TermEntries::Entry e = terms.entries[terms.start[k] + j];
      s.video_ids[j] = e.video;
      s.video_counts[j] = e.count;
    }
  }
  release(term_bytes_);
  release(term_end_);
  release(term_total_);
}

void IndexBuilder::propagate(std::size_t top_n) {
  trie_.payloads = builder::propagate(trie_, supplied_, top_n, trie_.videos.size());
  supplied_ = payload::PayloadTable();
}

}  // namespace tessaloom::builder
