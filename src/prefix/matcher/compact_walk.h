// The fast walk: the same walk as array_walk.h (same prune, same reports in
// the same order) over a CompactLayout, with the distance band interned as a
// CompactAutomaton state. A scanned child costs one label byte (for an ASCII
// query; otherwise its code point), one byte from a per-depth window table
// and one transition lookup; most children are rejected right there. Only
// the survivors' edge starts and child signatures are read besides.
//
// With transpositions (search's walk), the states are those of the
// automaton's transposition variant; everything below holds for them
// unchanged, since a swap keeps no band alive that the diagonal's
// characters would not (CompactAutomaton::tight).
//
// A parent with no edit left (CompactAutomaton::tight) keeps only the children
// whose label equals the query character of one of its live cells. If none
// of those cells stands for a query character (they are past the query's
// end), no child survives and its block is not read at all. Otherwise, for
// an ASCII query, the block's label bytes are compared 16 at a time against
// those few characters and only the matches are stepped: every match is
// found, repeated labels included, in edge order, so the survivors are
// exactly those of a scan.
// Before any of that, the record's child signature (CompactLayout) is checked
// against those characters: most such records have no child bearing one,
// and are left without reading their block or even locating it.
//
// For an ASCII query, that check is made before a child with no edit left is
// even pushed, from the parent's block: a child that its band would neither
// report nor let any of its children continue (by its signature) is not
// pushed, so it costs no visit and no fetch of its own block. Such children
// come from parents with no edit left (the few matches) and from parents
// with one edit left, where every child whose label equals none of the
// window's characters spends that edit into one band shared by all of them.
// The survivors left out have no report below them, so the reports and
// their order are those of the walk that visits them.
//
// On a busy machine the layout is mostly out of the private caches when a
// query starts, and a depth-first walk that locates each block only when it
// reaches its record waits on one miss after another. So the survivors are
// kept by depth, and the children of a batch of up to kBatchParents
// survivors of one depth (consecutive in walk order, whatever their
// parents) are stepped together: first the blocks of all of them are asked
// for (labels, edge starts and signatures), then each is stepped, its
// block by then in flight or in cache. A depth holds the survivors of the
// last batch stepped above it, in edge order, and each survivor of a batch
// the end of its children in the depth below; reports come out in
// pre-order from that tree (a survivor, the survivors below it, then its
// next sibling). A depth's next batch is stepped when the walk reaches one
// of its survivors past the last batch, by which time every subtree below
// the last batch is done, so the depth below is free to refill. Survivors
// that are neither reported nor have surviving children are marked so when
// their batch is stepped and passed over by that mark.
//
// Storage is bounded by the depths (at most n+k+1) times a batch: a batch
// stops taking parents once their blocks hold kBatchChildren children,
// having taken at least one.
//
// Preconditions: ct.usable(), max_dist <= CompactAutomaton::kMaxK and a query of
// at most kCompactMaxQuery characters (the window bits of a depth come from
// a table sized by the query).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/fault.h"
#include "prefix/matcher/compact_automaton.h"
#include "prefix/matcher/compact_layout.h"
#include "prefix/matcher/reached.h"
#include "prefix/trie/trie.h"

namespace tessaloom::prefix::matcher {

inline constexpr std::size_t kCompactMaxQuery = 64;
// A batch of survivors whose children are stepped together: at most this
// many parents, and no further parent once their blocks hold this many
// children.
inline constexpr std::uint32_t kBatchParents = 64;
inline constexpr std::uint32_t kBatchChildren = 2048;

// Working storage of compact_walk, kept per thread between walks so that a
// query allocates nothing once the thread has run one of its size.
struct CompactWalkScratch {
  struct Survivor {
    std::uint32_t record;
    std::uint16_t state;
    // Once the survivor's batch is stepped: its distance plus one when it is
    // reported, else 0; and the end of its children among the survivors of
    // the depth below (they start where the previous survivor's end, or at
    // 0 for the first of the batch).
    std::uint8_t report;
    std::uint32_t children_end;
  };
  // The survivors of one depth, from the last batch stepped above them.
  struct Level {
    std::vector<Survivor> items;  // [0, size) hold survivors
    std::uint32_t size = 0;
    std::uint32_t next = 0;     // the next to report
    std::uint32_t stop = 0;     // the end of the current parent's children
    std::uint32_t batch = 0;    // the first of the last batch stepped
    std::uint32_t stepped = 0;  // the end of that batch (0: none stepped)
    // Bit j for survivor batch + j when it is reported or has surviving
    // children: the others need no visit of their own.
    std::uint64_t wanted = 0;
  };

  std::vector<std::uint8_t> ascii;
  std::vector<std::uint8_t> chars;
  std::size_t chars_width = 1;  // the cells per depth of `chars`
  std::vector<std::uint8_t> inside;
  std::vector<std::uint16_t> signatures;
  std::vector<std::uint8_t> wants;
  std::vector<std::pair<char32_t, std::uint64_t>> other;
  std::vector<Level> levels;  // by depth
  std::vector<char32_t> path;
  bool busy = false;
  // Whether a level grew past kKeepLevel during the walk.
  bool oversized = false;

  // Levels grown beyond this are released when the walk ends.
  static constexpr std::size_t kKeepLevel = 1 << 14;
};

// What a walk touched, for the benchmarks.
struct CompactWalkCounts {
  std::uint64_t visited = 0;    // survivors (children whose band is alive)
  std::uint64_t scanned = 0;    // children stepped one by one by the scan
  std::uint64_t looked_up = 0;  // children compared 16 at a time (whole blocks)
  std::uint64_t found = 0;      // children the lookup found
  // Survivors with no edit left: children not located because no live cell
  // is inside the query, or because the signature rules them out; children
  // located, and of those, located in vain (none survived).
  std::uint64_t skipped = 0;
  std::uint64_t filtered = 0;
  std::uint64_t located = 0;
  std::uint64_t located_in_vain = 0;
};

// For each parent depth d and label byte (CompactLayout::label_bytes, so with
// or without the terminal bit), the 2k+1 bits telling which query characters
// d-k .. d+k equal the label (bit i for character d-k+i); for labels at or
// above U+0080, the same bits on demand.
class QueryWindows {
 public:
  QueryWindows(std::span<const char32_t> q, std::uint32_t k, CompactWalkScratch& s)
      : k_(k),
        width_(2 * k + 1),
        depths_(q.size() + k + 1),
        ascii_(s.ascii),
        other_(s.other),
        chars_(s.chars),
        inside_(s.inside),
        signatures_(s.signatures),
        wants_(s.wants) {
    // The table is kept zero between queries but for the entries the last
    // query set, which are cleared here: clearing it whole would write every
    // line of it, most of them not in cache when a query starts. Those
    // entries are the ones named by `chars` as the last query left it (a
    // character and its terminal byte per cell; a cell of 0 stands for
    // U+0000 or for none, and clearing entry 0 is harmless), since both are
    // written together below. The table only grows, and `chars` is either
    // the last query's or all zero should its assignment fail, so the rows
    // cleared are always there.
    {
      std::uint8_t* row = ascii_.data();
      const std::uint8_t* old = chars_.data();
      const std::uint8_t* const old_end = old + chars_.size();
      const std::size_t old_width = s.chars_width;
      for (; old != old_end; old += old_width, row += 256) {
        for (std::size_t i = 0; i < old_width; ++i) {
          row[old[i]] = 0;
          row[old[i] | CompactLayout::kTerminalByte] = 0;
        }
      }
    }
    if (ascii_.size() < depths_ * 256) ascii_.resize(depths_ * 256, 0);
    chars_.assign(depths_ * width_, 0);
    s.chars_width = width_;
    other_.clear();
    // One entry past the last parent depth (0: no cell inside), for the
    // children of the deepest parents. Cell i of depth d is character
    // d-k+i, inside the query when k-d <= i < n+k-d.
    inside_.resize(depths_ + 1);
    {
      std::uint8_t* const inside = inside_.data();
      const std::size_t n = q.size();
      for (std::size_t d = 0; d < depths_; ++d) {
        const std::size_t lo = d < k ? k - d : 0;
        const std::size_t hi = std::min(width_, n + k - d);
        inside[d] = static_cast<std::uint8_t>(((1u << hi) - 1) & ~((1u << lo) - 1));
      }
      inside[depths_] = 0;
    }
    {
      std::uint8_t* const table = ascii_.data();
      std::uint8_t* const chars = chars_.data();
      for (std::size_t x = 0; x < q.size(); ++x) {
        const char32_t ch = q[x];
        if (ch == 0) has_nul_ = true;
        if (ch < 128) {
          // Character x lies in the window of depths x-k .. x+k, at bit x-d+k.
          const std::size_t d_lo = x > k ? x - k : 0;
          for (std::size_t d = d_lo; d <= x + k; ++d) {
            const auto bit = static_cast<std::uint8_t>(1u << (x + k - d));
            std::uint8_t* const row = table + d * 256;
            row[ch] |= bit;
            row[ch | CompactLayout::kTerminalByte] |= bit;
            chars[d * width_ + (x + k - d)] = static_cast<std::uint8_t>(ch);
          }
          continue;
        }
        bool found = false;
        for (auto& [c, positions] : other_) {
          if (c == ch) {
            positions |= std::uint64_t{1} << x;
            found = true;
          }
        }
        if (!found) other_.emplace_back(ch, std::uint64_t{1} << x);
      }
    }
    // For an ASCII query, per depth, 16 copies of each cell's character (0
    // for the cells outside the query), for 16-byte compares.
    wants_.clear();
    if (bytes_suffice()) {
      wants_.resize(depths_ * width_ * 16);
      std::uint8_t* const wants = wants_.data();
      const std::uint8_t* const chars = chars_.data();
      for (std::size_t at = 0; at < depths_ * width_; ++at) {
        const std::uint64_t copies = chars[at] * std::uint64_t{0x0101010101010101};
        std::memcpy(wants + at * 16, &copies, 8);
        std::memcpy(wants + at * 16 + 8, &copies, 8);
      }
    }
    // The signatures of every set of cells of every depth (at most 128 sets
    // a depth): the sets holding cell i are those without it, plus its bit.
    const std::size_t sets = std::size_t{1} << width_;
    signatures_.resize(depths_ * sets);
    for (std::size_t d = 0; d < depths_; ++d) {
      std::uint16_t* const row = signatures_.data() + d * sets;
      const std::uint8_t* const c = chars(d);
      row[0] = 0;
      for (std::size_t i = 0; i < width_; ++i) {
        const std::uint16_t bit = CompactLayout::signature_bit(c[i]);
        const std::size_t half = std::size_t{1} << i;
        for (std::size_t m = 0; m < half; ++m) row[half + m] = row[m] | bit;
      }
    }
  }

  // Whether the label bytes alone decide every window: no query character
  // is outside ASCII, and none is U+0000, which the byte of a label outside
  // ASCII would otherwise equal.
  bool bytes_suffice() const { return other_.empty() && !has_nul_; }
  // The query characters d-k .. d+k below U+0080, 0 for the others and for
  // those outside the query.
  const std::uint8_t* chars(std::size_t d) const { return chars_.data() + d * width_; }
  // The cells of depth d that stand for a query character: bit i when
  // 0 <= d-k+i < n.
  std::uint32_t inside(std::size_t d) const { return inside_[d]; }
  // The tables the walks index directly: the windows of depth d by label
  // byte, ascii_rows()[d * 256 + byte]; inside_rows()[d] as inside(d); and
  // the signature bits (CompactLayout::signature_bit) of the characters of
  // the cells `cells` of depth d, for an ASCII query,
  // signature_rows()[(d << (2k+1)) + cells].
  const std::uint8_t* ascii_rows() const { return ascii_.data(); }
  const std::uint8_t* inside_rows() const { return inside_.data(); }
  const std::uint16_t* signature_rows() const { return signatures_.data(); }
  // For an ASCII query, 2k+1 runs of 16 bytes for depth d: 16 copies of the
  // character of each cell (chars(d)).
  const std::uint8_t* wants(std::size_t d) const { return wants_.data() + d * width_ * 16; }
  // The window of a label at or above U+0080.
  std::uint32_t other(char32_t label, std::size_t d) const {
    for (const auto& [c, positions] : other_) {
      if (c != label) continue;
      std::uint32_t bits = 0;
      for (std::uint32_t i = 0; i <= 2 * k_; ++i) {
        const std::size_t x = d + i;  // character x - k
        if (x >= k_ && x - k_ < 64 && (positions >> (x - k_)) & 1) {
          bits |= 1u << i;
        }
      }
      return bits;
    }
    return 0;
  }

 private:
  std::uint32_t k_;
  std::size_t width_;
  std::size_t depths_;
  bool has_nul_ = false;
  std::vector<std::uint8_t>& ascii_;
  std::vector<std::pair<char32_t, std::uint64_t>>& other_;
  std::vector<std::uint8_t>& chars_;
  std::vector<std::uint8_t>& inside_;
  std::vector<std::uint16_t>& signatures_;
  std::vector<std::uint8_t>& wants_;  // empty unless bytes_suffice()
};

namespace compact_detail {

using Survivor = CompactWalkScratch::Survivor;

// The thread's scratch for the length of one walk, or a fresh one should a
// report start another walk on the same thread. Storage grown past what is
// kept between walks is released at the end.
class ScratchLease {
 public:
  ScratchLease() : s_(shared().busy ? own_ : shared()) { s_.busy = true; }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  ~ScratchLease() {
    s_.busy = false;
    if (s_.oversized) {
      for (auto& level : s_.levels) {
        if (level.items.capacity() > CompactWalkScratch::kKeepLevel) {
          std::vector<Survivor>().swap(level.items);
        }
      }
      s_.oversized = false;
    }
  }
  CompactWalkScratch& get() { return s_; }

 private:
  static CompactWalkScratch& shared() {
    thread_local CompactWalkScratch scratch;
    return scratch;
  }
  CompactWalkScratch own_;
  CompactWalkScratch& s_;
};

// What the walk reads: the layout's arrays, the automaton's tables and the
// query's windows.
struct Tables {
  const std::uint32_t* starts;
  const std::uint8_t* bytes;
  const std::uint16_t* signatures;
  const char32_t* labels;
  std::uint32_t records;
  const std::uint16_t* next;
  const std::uint8_t* cells;
  const std::uint8_t* tight;
  std::uint32_t width;  // of a band: 2k+1 cells, and 2^width windows
  const QueryWindows& windows;
  const std::uint8_t* ascii;      // windows.ascii_rows()
  const std::uint8_t* inside;     // windows.inside_rows()
  const std::uint16_t* sig_rows;  // windows.signature_rows()
  bool query_bytes;               // the label bytes alone decide every window
  bool term_ends_only;            // only term ends are reported
  std::uint32_t k;
  std::size_t n_plus_k;  // the query's length plus k

  // The children of record r are the records [starts[r] + 1, end_of(r)).
  std::uint32_t end_of(std::uint32_t r) const {
    return r + 1 < records ? starts[r + 1] + 1 : records;
  }
  // The transitions of band `state`, indexed by a window.
  const std::uint16_t* row(std::uint16_t state) const {
    return next + (std::size_t{state} << width);
  }
  // The windows of depth d, indexed by a label byte.
  const std::uint8_t* ascii_row(std::size_t d) const { return ascii + d * 256; }
  // QueryWindows::signature.
  std::uint16_t signature(std::size_t d, std::uint32_t cells) const {
    return sig_rows[(d << width) + cells];
  }
};

// Writes the survivors among the children [begin, end) of a parent at depth
// d to `out`, in edge order, stepping each child: one slot is written per
// child without a branch, and kept when the child survives. Returns the end
// of what it wrote.
[[gnu::always_inline]] inline Survivor* push_stepped(const Tables& t, const std::uint16_t* row,
                                                     std::size_t d, std::uint32_t begin,
                                                     std::uint32_t end, Survivor* out) {
  const std::uint8_t* const win = t.ascii_row(d);
  if (t.query_bytes) {
    for (std::uint32_t c = begin; c < end; ++c) {
      const std::uint16_t s = row[win[t.bytes[c]]];
      *out = {c, s, 0, 0};
      out += s != CompactAutomaton::kDead;
    }
  } else {
    for (std::uint32_t c = begin; c < end; ++c) {
      const char32_t label = t.labels[c];
      const std::uint32_t m = label < 128 ? win[label] : t.windows.other(label, d);
      const std::uint16_t s = row[m];
      *out = {c, s, 0, 0};
      out += s != CompactAutomaton::kDead;
    }
  }
  return out;
}

// Whether a record at depth dd with band `state` lies within k of the query,
// and if so its distance in `dist`: column n of its band, which must be
// inside the band (n + k is given).
[[gnu::always_inline]] inline bool within_reach(const Tables& t, std::uint16_t state,
                                                std::size_t dd, std::size_t n_plus_k, std::size_t k,
                                                std::uint32_t& dist) {
  // Column n sits at band cell n - dd + k when that is inside the band.
  if (n_plus_k < dd || n_plus_k - dd >= t.width) return false;
  dist = t.cells[std::size_t{state} * t.width + (n_plus_k - dd)];
  return dist <= k;
}

// Under a parent with one edit left, a child whose label equals none of the
// query characters of the parent's window continues only by spending that
// edit, into one band shared by all such siblings: `rest`, with no edit
// left. Such a child is pushed only when that band reports it (`reported`:
// the terminal bit when only term ends are reported, 0 when it reports
// none) or when the signature of its own children bears a character that
// band still wants; any other would be visited for nothing. A child
// bearing one of the characters is stepped and pushed as a scan does.
[[gnu::always_inline]] inline Survivor* push_one_edit_left(
    const Tables& t, const std::uint16_t* row, std::size_t d, std::uint16_t rest,
    std::uint8_t reported, std::uint32_t begin, std::uint32_t end, Survivor* out) {
  const std::size_t dd = d + 1;
  const std::uint32_t live = t.tight[rest] & t.inside[dd];
  const std::uint16_t wanted = live != 0 ? t.signature(dd, live) : 0;
  const std::uint8_t* const win = t.ascii_row(d);
  for (std::uint32_t c = begin; c < end; ++c) {
    const std::uint8_t byte = t.bytes[c];
    const std::uint32_t m = win[byte];
    *out = {c, row[m], 0, 0};
    out += (m != 0) | ((t.signatures[c] & wanted) != 0) | ((byte & reported) != 0);
  }
  return out;
}

// Whether a child at depth dd whose band has no edit left (tight) is worth a
// visit: the band reports it, or the signature of its own children bears a
// character the band still wants (none when no live cell is inside the
// query: the signature of no cells is 0). A child that is neither has
// nothing to report below it. Decided without a branch, from what is read
// once per depth; the dead band is never worth a visit.
class WorthVisiting {
 public:
  WorthVisiting(const Tables& t, std::size_t dd)
      : bytes_(t.bytes),
        signatures_(t.signatures),
        cells_(t.cells),
        tight_(t.tight),
        wanted_(t.sig_rows + (dd << t.width)),
        width_(t.width),
        k_(t.k),
        inside_(t.inside[dd]),
        // Column n sits at band cell n+k-dd when that is inside the band
        // (the difference wraps past the band when dd > n+k).
        in_band_(t.n_plus_k - dd < t.width),
        column_(in_band_ ? static_cast<std::uint32_t>(t.n_plus_k - dd) : 0),
        ends_(t.term_ends_only ? 0 : CompactLayout::kTerminalByte) {}

  bool operator()(std::uint32_t c, std::uint16_t state) const {
    const bool reported = in_band_ & (cells_[std::size_t{state} * width_ + column_] <= k_) &
                          (((bytes_[c] | ends_) & CompactLayout::kTerminalByte) != 0);
    return reported | ((signatures_[c] & wanted_[tight_[state] & inside_]) != 0);
  }

 private:
  const std::uint8_t* bytes_;
  const std::uint16_t* signatures_;
  const std::uint8_t* cells_;
  const std::uint8_t* tight_;
  const std::uint16_t* wanted_;  // signatures of depth dd's cells
  std::uint32_t width_, k_, inside_;
  bool in_band_;
  std::uint32_t column_;
  std::uint8_t ends_;  // the terminal bit when every node may be reported, else 0
};

#if defined(__SSE2__)
// The survivors among the children [begin, end) of a parent at depth d with
// no edit left (begin < end), for an ASCII query: the block's
// label bytes are compared 16 at a time against the query characters of
// the `live` cells, and only the matches are stepped, in edge order, each
// kept when worth a visit. Every match is found, repeated labels included,
// so the survivors are exactly those of a scan. Most blocks hold at most 16
// children and at most one match: such a block costs one load, two compares
// and no branch.
[[gnu::always_inline]] inline Survivor* push_looked_up(const Tables& t, const std::uint16_t* row,
                                                       std::size_t d, std::uint32_t live,
                                                       std::uint32_t begin, std::uint32_t end,
                                                       Survivor* out, std::uint64_t* found) {
  const std::uint8_t* const win = t.ascii_row(d);
  const std::uint8_t* const bytes = t.bytes;
  const WorthVisiting worth(t, d + 1);
  // The query characters of the live cells, 16 copies each: most bands
  // with no edit left have one or two live cells, compared as the lowest
  // and the highest (the same vector when there is one); the cells between
  // are added when there are more.
  const std::uint8_t* const wants = t.windows.wants(d);
  auto want = [wants](std::uint32_t cell) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(wants + cell * 16));
  };
  const auto lowest = static_cast<std::uint32_t>(__builtin_ctz(live));
  const auto highest = static_cast<std::uint32_t>(31 - __builtin_clz(live));
  const __m128i want_low = want(lowest), want_high = want(highest);
  const std::uint32_t between = live & ~(1u << lowest) & ~(1u << highest);
  // The matches among the 16 label bytes from `base` (the layout's padding
  // keeps the load inside the array), `count` of them children.
  auto matches_at = [&](std::uint32_t base, std::uint32_t count) {
    const __m128i group = _mm_and_si128(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + base)), _mm_set1_epi8(0x7F));
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(group, want_low), _mm_cmpeq_epi8(group, want_high));
    for (std::uint32_t rest = between; rest != 0; rest &= rest - 1) [[unlikely]] {
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(group, want(__builtin_ctz(rest))));
      }
    const auto matches = static_cast<std::uint32_t>(_mm_movemask_epi8(hit)) & ((1u << count) - 1);
    if (found != nullptr) *found += static_cast<std::uint32_t>(__builtin_popcount(matches));
    return matches;
  };
  auto push_each = [&](std::uint32_t base, std::uint32_t matches) {
    for (; matches != 0; matches &= matches - 1) {
      const std::uint32_t c = base + static_cast<std::uint32_t>(__builtin_ctz(matches));
      const std::uint16_t s = row[win[bytes[c]]];
      *out = {c, s, 0, 0};
      out += worth(c, s);
    }
  };
  const std::uint32_t count = end - begin;
  if (count <= 16) {
    // The first match is stepped without a branch; with none, the last
    // child is, into a slot that is not kept.
    const std::uint32_t matches = matches_at(begin, count);
    const std::uint32_t c =
        begin + static_cast<std::uint32_t>(__builtin_ctz(matches | (1u << (count - 1))));
    const std::uint16_t s = row[win[bytes[c]]];
    *out = {c, s, 0, 0};
    out += (matches != 0) & worth(c, s);
    push_each(begin, matches & (matches - 1));
    return out;
  }
  for (std::uint32_t base = begin; base < end; base += 16) {
    push_each(base, matches_at(base, std::min<std::uint32_t>(end - base, 16)));
  }
  return out;
}

#else
// The same by stepping each child, where there is no 16-byte compare.
[[gnu::always_inline]] inline Survivor* push_looked_up(const Tables& t, const std::uint16_t* row,
                                                       std::size_t d, std::uint32_t,
                                                       std::uint32_t begin, std::uint32_t end,
                                                       Survivor* out, std::uint64_t*) {
  const std::uint8_t* const win = t.ascii_row(d);
  const WorthVisiting worth(t, d + 1);
  for (std::uint32_t c = begin; c < end; ++c) {
    const std::uint16_t s = row[win[t.bytes[c]]];
    *out = {c, s, 0, 0};
    out += worth(c, s);
  }
  return out;
}
#endif

// Writes the survivors among the children [begin, end) of a parent at depth
// d with band `state` to `out`, in edge order, with room for end - begin of
// them; returns the end of what it wrote. `live` holds the band's live
// cells inside the query when no edit is left (0 otherwise).
template <bool kCount>
[[gnu::always_inline]] inline Survivor* push_survivors(const Tables& t, Survivor* out,
                                                       std::size_t d, std::uint16_t state,
                                                       std::uint32_t live, std::uint32_t begin,
                                                       std::uint32_t end,
                                                       CompactWalkCounts* counts) {
  if (t.query_bytes && live != 0) {
    if constexpr (kCount) counts->looked_up += end - begin;
    std::uint64_t* const found = kCount ? &counts->found : nullptr;
    return push_looked_up(t, t.row(state), d, live, begin, end, out, found);
  }
  if constexpr (kCount) counts->scanned += end - begin;
  const std::uint16_t* const row = t.row(state);
  if (t.query_bytes) {
    const std::uint16_t rest = row[0];
    std::uint32_t dist;
    if (t.tight[rest] != 0) {
      const bool reports = within_reach(t, rest, d + 1, t.n_plus_k, t.k, dist);
      if (!reports || t.term_ends_only) {
        const std::uint8_t reported = reports ? CompactLayout::kTerminalByte : 0;
        return push_one_edit_left(t, row, d, rest, reported, begin, end, out);
      }
    }
  }
  return push_stepped(t, row, d, begin, end, out);
}

// Makes room for `n` survivors in `level` past its size.
inline void reserve_level(CompactWalkScratch& s, CompactWalkScratch::Level& level, std::size_t n) {
  const std::size_t need = std::size_t{level.size} + n;
  if (level.items.size() >= need) return;
  level.items.resize(std::max<std::size_t>(need, 2 * level.items.size()));
  if (level.items.size() > CompactWalkScratch::kKeepLevel) s.oversized = true;
}

// Whether record c at depth dd with band `state` may have a surviving
// child; sets `tight_cells` (the band's cells when no edit is left, else 0)
// and `live` (those of them inside the query). With no edit left, only a
// label equal to the query character of a live cell keeps the band alive:
// with no such cell none does, nor when the signature of the record's
// children shows that none of them bears one of those characters. Either
// way the children are not even located.
template <bool kCount>
[[gnu::always_inline]] inline bool children_may_survive(const Tables& t, std::uint32_t c,
                                                        std::uint16_t state, std::size_t dd,
                                                        std::uint32_t& tight_cells,
                                                        std::uint32_t& live,
                                                        CompactWalkCounts* counts) {
  tight_cells = t.tight[state];
  live = tight_cells & t.inside[dd];
  if (tight_cells == 0) return true;
  if (live == 0) {
    if constexpr (kCount) ++counts->skipped;
    return false;
  }
  if (t.query_bytes && (t.signatures[c] & t.signature(dd, live)) == 0) {
    if constexpr (kCount) ++counts->filtered;
    return false;
  }
  return true;
}

// Steps the children of a batch of the survivors of depth d, starting with
// survivor `from`, into depth d+1 (which is refilled): the batch takes
// survivors until kBatchParents are taken or their blocks hold
// kBatchChildren children (at least one is taken). The blocks of the whole
// batch (labels, and the edge starts and signatures the batch below reads
// first) are asked for before any is stepped, so that their misses overlap.
// Marks in the batch's `wanted` bits the survivors that are reported or have
// surviving children.
template <bool kCount>
void step_batch(const Tables& t, CompactWalkScratch& s, std::size_t d, std::uint32_t from,
                CompactWalkCounts* counts) {
  CompactWalkScratch::Level& level = s.levels[d];
  CompactWalkScratch::Level& below = s.levels[d + 1];
  Survivor* const items = level.items.data();
  std::uint32_t children = 0;
  std::uint32_t last = from;
  const std::uint32_t most = std::min(level.size, from + kBatchParents);
  for (; last < most && children < kBatchChildren; ++last) {
    const std::uint32_t r = items[last].record;
    const std::uint32_t begin = t.starts[r] + 1;
    __builtin_prefetch(t.bytes + begin);
    __builtin_prefetch(t.starts + begin);
    __builtin_prefetch(t.signatures + begin);
    children += t.end_of(r) - begin;  // a layout's edge starts never decrease
  }
  if constexpr (kCount) counts->visited += last - from;
  level.batch = from;
  level.stepped = last;
  below.size = 0;
  below.stepped = 0;
  reserve_level(s, below, children);
  Survivor* const first = below.items.data();
  Survivor* out = first;
  std::uint64_t wanted = 0;
  for (std::uint32_t i = from; i < last; ++i) {
    const Survivor sv = items[i];
    Survivor* const start = out;
    std::uint32_t tight_cells, live;
    if (children_may_survive<kCount>(t, sv.record, sv.state, d, tight_cells, live, counts)) {
      const std::uint32_t begin = t.starts[sv.record] + 1;
      const std::uint32_t end = t.end_of(sv.record);
      if (begin < end) {
        if (d > t.n_plus_k) throw common::InternalFault("compact walk passed its depth bound");
        out = push_survivors<kCount>(t, out, d, sv.state, live, begin, end, counts);
        if constexpr (kCount) {
          if (tight_cells != 0) {
            ++counts->located;
            counts->located_in_vain += out == start;
          }
        }
      }
    }
    items[i].children_end = static_cast<std::uint32_t>(out - first);
    std::uint32_t dist;
    const bool reported =
        within_reach(t, sv.state, d, t.n_plus_k, t.k, dist) &&
        (!t.term_ends_only || (t.bytes[sv.record] & CompactLayout::kTerminalByte) != 0);
    items[i].report = static_cast<std::uint8_t>(reported ? dist + 1 : 0);
    wanted |= std::uint64_t{reported || out != start} << (i - from);
  }
  level.wanted = wanted;
  below.size = static_cast<std::uint32_t>(out - first);
}

}  // namespace compact_detail

// Walks `ct`, derived from `trie`, for the query `q`: for each visited
// record whose band is alive and whose distance is within max_dist (and
// which ends a term, with term_ends_only), in walk order, calls
//   visit(Reached{node, terminal, distance, path})
// with the trie's node number, and `path` spelling it (filled only when
// kTrackPath); visit returns true to stop the walk. With kCount, adds what
// the walk touched to *counts.
template <bool kTrackPath, bool kCount = false, class Visitor>
void compact_walk(const CompactLayout& ct, const trie::TrieArrays& trie,
                  std::span<const char32_t> q, std::uint32_t max_dist, bool transpositions,
                  bool term_ends_only, Visitor&& visit, CompactWalkCounts* counts = nullptr) {
  using compact_detail::Survivor;
  using Level = CompactWalkScratch::Level;
  compact_detail::ScratchLease lease;
  CompactWalkScratch& scratch = lease.get();
  const CompactAutomaton& a = compact_automaton(max_dist, transpositions);
  const QueryWindows windows(q, max_dist, scratch);
  const compact_detail::Tables t{ct.edge_starts(trie),
                                 ct.label_bytes(),
                                 ct.child_signatures(),
                                 ct.labels(trie),
                                 static_cast<std::uint32_t>(ct.node_count()),
                                 a.next.data(),
                                 a.cells.data(),
                                 a.tight.data(),
                                 a.width,
                                 windows,
                                 windows.ascii_rows(),
                                 windows.inside_rows(),
                                 windows.signature_rows(),
                                 windows.bytes_suffice(),
                                 term_ends_only,
                                 max_dist,
                                 q.size() + max_dist};
  const std::size_t k = max_dist;
  // A live band at depth dd has a cell within k in columns 0..n, so dd is at
  // most n + k: survivors lie at depths 1 .. n+k, and parents below that.
  const std::size_t n_plus_k = q.size() + k;
  std::vector<Level>& levels = scratch.levels;
  if (levels.size() < n_plus_k + 2) levels.resize(n_plus_k + 2);
  std::vector<char32_t>& path = scratch.path;
  if (kTrackPath && path.size() < n_plus_k + 1) path.resize(n_plus_k + 1);

  // Depth 1: the survivors among the root's children.
  {
    Level& first = levels[1];
    const std::uint32_t begin = t.starts[0] + 1;
    const std::uint32_t end = t.end_of(0);
    first.size = 0;
    first.stepped = 0;
    if (begin < end) {
      compact_detail::reserve_level(scratch, first, end - begin);
      first.size =
          static_cast<std::uint32_t>(compact_detail::push_survivors<kCount>(
                                         t, first.items.data(), 0, a.start,
                                         a.tight[a.start] & windows.inside(0), begin, end, counts) -
                                     first.items.data());
    }
    first.stop = first.size;
  }
  // The cursor of the current depth is kept in locals, and stored in its
  // Level only while the walk is below it. Survivors that are neither
  // reported nor have surviving children are passed over by their bit.
  std::size_t dd = 1;
  Level* level = &levels[1];
  std::uint32_t next = 0;
  std::uint32_t stop = level->stop;
  for (;;) {
    if (next >= stop) {
      if (--dd == 0) return;
      level = &levels[dd];
      next = level->next;
      stop = level->stop;
      continue;
    }
    if (next >= level->stepped) {
      compact_detail::step_batch<kCount>(t, scratch, dd, next, counts);
    }
    const std::uint64_t wanted = level->wanted >> (next - level->batch);
    if (wanted == 0) {
      next = level->stepped;
      continue;
    }
    const std::uint32_t i = next + static_cast<std::uint32_t>(__builtin_ctzll(wanted));
    if (i >= stop) {
      next = stop;
      continue;
    }
    next = i + 1;
    const Survivor* const items = level->items.data();
    const Survivor sv = items[i];
    const std::uint32_t c = sv.record;
    const std::uint8_t byte = t.bytes[c];
    if constexpr (kTrackPath) {
      const char32_t ascii = byte & ~CompactLayout::kTerminalByte;
      path[dd - 1] = ascii != 0 ? ascii : t.labels[c];
    }
    if (sv.report != 0 &&
        visit(Reached{ct.original(c), (byte & CompactLayout::kTerminalByte) != 0, sv.report - 1u,
                      std::span<const char32_t>(path.data(), kTrackPath ? dd : 0)})) {
      return;
    }
    // Its children next, if any.
    const std::uint32_t children_begin = i == level->batch ? 0 : items[i - 1].children_end;
    if (children_begin < sv.children_end) {
      level->next = next;
      level = &levels[++dd];
      next = children_begin;
      stop = level->stop = sv.children_end;
    }
  }
}

}  // namespace tessaloom::prefix::matcher
