// The fast walk: the same walk as array_walk.h (same prune, same reports in
// the same order) over a CompactLayout, with the distance band interned as a
// CompactAutomaton state. A scanned child costs one label byte (for an ASCII
// query; otherwise its code point), one byte from a per-depth window table
// and one transition lookup; most children are rejected right there. Only
// the survivors' edge starts and child signatures are read besides.
//
// A parent with no edit left (CompactAutomaton::tight) keeps only the children
// whose label equals the query character of one of its live cells. If none
// of those cells stands for a query character (they are past the query's
// end), no child survives and its block is not read at all. Otherwise, for
// an ASCII query and a block of at least kLookupMin children, the block's
// label bytes are compared 16 at a time against those few characters and
// only the matches are stepped: every match is found, repeated labels
// included, in edge order, so the survivors are exactly those of a scan.
// Before any of that, the record's child signature (CompactLayout) is checked
// against those characters: most such records have no child bearing one,
// and are left without reading their block or even locating it.
//
// On a busy machine the layout is mostly out of the private caches when a
// query starts, so the walk fetches ahead: a block's edge starts and
// signatures together with its labels, and the blocks of the next few
// survivors as soon as they are pushed.
//
// Preconditions: ct.usable(), max_dist <= CompactAutomaton::kMaxK and a query of
// at most kCompactMaxQuery characters (the window bits of a depth come from
// a table sized by the query).
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/fault.h"
#include "prefix/matcher/compact_automaton.h"
#include "prefix/matcher/compact_layout.h"

namespace tessaloom::prefix::matcher {

inline constexpr std::size_t kCompactMaxQuery = 64;
// Blocks of at least this many children under a parent with no edit left
// are compared 16 label bytes at a time; smaller ones are scanned, which
// costs fewer instructions than setting up the compare.
inline constexpr std::uint32_t kLookupMin = 8;
// After a record's children are pushed, the child blocks of this many of
// them (the next to be taken) are fetched ahead.
inline constexpr std::size_t kPrefetchAhead = 16;

// Working storage of compact_walk, kept per thread between walks so that a
// query allocates nothing once the thread has run one of its size.
struct CompactWalkScratch {
  struct Survivor {
    std::uint32_t record;
    std::uint16_t state;
    std::uint16_t depth;  // the record's depth
  };

  std::vector<std::uint8_t> ascii;
  std::vector<std::uint32_t> ascii_set;  // the entries of `ascii` not zero
  std::vector<std::uint8_t> chars;
  std::vector<std::uint8_t> inside;
  std::vector<std::uint16_t> signatures;
  std::vector<std::pair<char32_t, std::uint64_t>> other;
  std::vector<Survivor> pending;
  std::vector<char32_t> path;
  bool busy = false;

  // Storage kept beyond this between walks is released.
  static constexpr std::size_t kKeepPending = 1 << 16;
};

// What a walk touched, for the benchmarks.
struct CompactWalkCounts {
  std::uint64_t visited = 0;    // survivors taken from the stack
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
  static constexpr std::uint32_t kSignatureTableMaxK = 2;

  QueryWindows(std::span<const char32_t> q, std::uint32_t k, CompactWalkScratch& s)
      : k_(k),
        width_(2 * k + 1),
        depths_(q.size() + k + 1),
        ascii_(s.ascii),
        ascii_set_(s.ascii_set),
        other_(s.other),
        chars_(s.chars),
        inside_(s.inside),
        signatures_(s.signatures) {
    // The table is kept zero between queries but for the entries the last
    // query set, which are cleared here: clearing it whole would write every
    // line of it, most of them not in cache when a query starts.
    for (const std::uint32_t i : ascii_set_) ascii_[i] = 0;
    ascii_set_.clear();
    if (ascii_.size() < depths_ * 256) ascii_.resize(depths_ * 256, 0);
    other_.clear();
    chars_.assign(depths_ * width_, 0);
    // One entry past the last parent depth (0: no cell inside), for the
    // children of the deepest parents.
    inside_.assign(depths_ + 1, 0);
    for (std::size_t d = 0; d < depths_; ++d) {
      // Cell i of depth d is character d-k+i.
      for (std::size_t i = 0; i < width_; ++i) {
        if (d + i >= k && d + i - k < q.size()) inside_[d] |= static_cast<std::uint8_t>(1u << i);
      }
    }
    for (std::size_t x = 0; x < q.size(); ++x) {
      const char32_t ch = q[x];
      if (ch == 0) has_nul_ = true;
      if (ch < 128) {
        // Character x lies in the window of depths x-k .. x+k, at bit x-d+k.
        const std::size_t d_lo = x > k ? x - k : 0;
        for (std::size_t d = d_lo; d <= x + k; ++d) {
          const auto bit = static_cast<std::uint8_t>(1u << (x + k - d));
          const std::size_t at = d * 256 + ch;
          if (ascii_[at] == 0) {
            ascii_set_.push_back(static_cast<std::uint32_t>(at));
            ascii_set_.push_back(static_cast<std::uint32_t>(at | CompactLayout::kTerminalByte));
          }
          ascii_[at] |= bit;
          ascii_[at | CompactLayout::kTerminalByte] |= bit;
          chars_[d * width_ + (x + k - d)] = static_cast<std::uint8_t>(ch);
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
    // Up to max_dist 2, the signatures of every set of cells of every depth
    // (at most 32 sets a depth), each from a smaller set's.
    signatures_.clear();
    if (k <= kSignatureTableMaxK) {
      const std::size_t sets = std::size_t{1} << width_;
      signatures_.resize(depths_ * sets);
      for (std::size_t d = 0; d < depths_; ++d) {
        std::uint16_t* const row = signatures_.data() + d * sets;
        const std::uint8_t* const c = chars(d);
        row[0] = 0;
        for (std::size_t m = 1; m < sets; ++m) {
          row[m] = row[m & (m - 1)] | CompactLayout::signature_bit(c[__builtin_ctzll(m)]);
        }
      }
    }
  }

  std::size_t depths() const { return depths_; }
  // Whether the label bytes alone decide every window: no query character
  // is outside ASCII, and none is U+0000, which the byte of a label outside
  // ASCII would otherwise equal.
  bool bytes_suffice() const { return other_.empty() && !has_nul_; }
  // Indexed by a label byte.
  const std::uint8_t* ascii_row(std::size_t d) const { return ascii_.data() + d * 256; }
  // The query characters d-k .. d+k below U+0080, 0 for the others and for
  // those outside the query.
  const std::uint8_t* chars(std::size_t d) const { return chars_.data() + d * width_; }
  // The signature bits (CompactLayout::signature_bit) of the characters of
  // the cells `cells` of depth d, for an ASCII query.
  std::uint16_t signature(std::size_t d, std::uint32_t cells) const {
    if (!signatures_.empty()) return signatures_[(d << width_) + cells];
    const std::uint8_t* const c = chars(d);
    std::uint16_t bits = 0;
    for (; cells != 0; cells &= cells - 1) {
      bits |= CompactLayout::signature_bit(c[__builtin_ctz(cells)]);
    }
    return bits;
  }
  // The cells of depth d that stand for a query character: bit i when
  // 0 <= d-k+i < n.
  std::uint32_t inside(std::size_t d) const { return inside_[d]; }
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
  std::vector<std::uint32_t>& ascii_set_;
  std::vector<std::pair<char32_t, std::uint64_t>>& other_;
  std::vector<std::uint8_t>& chars_;
  std::vector<std::uint8_t>& inside_;
  std::vector<std::uint16_t>& signatures_;  // empty above kSignatureTableMaxK
};

// Walks `ct`, derived from `trie`, for the query `q`. For each visited
// record whose band is alive and whose distance is within max_dist, in walk
// order, calls
//   report(record, terminal, distance, path)
// with `path` spelling the record (filled only when kTrackPath); report
// returns true to stop the walk. With kCount, adds what the walk touched to
// *counts.
template <bool kTrackPath, bool kCount = false, class Report>
void compact_walk(const CompactLayout& ct, const Trie& trie, std::span<const char32_t> q,
                  std::uint32_t max_dist, Report&& report, CompactWalkCounts* counts = nullptr) {
  using Survivor = CompactWalkScratch::Survivor;
  // The thread's scratch, or a fresh one should a report start another walk.
  thread_local CompactWalkScratch shared;
  CompactWalkScratch own;
  CompactWalkScratch& scratch = shared.busy ? own : shared;
  struct Release {
    CompactWalkScratch& s;
    explicit Release(CompactWalkScratch& s) : s(s) { s.busy = true; }
    ~Release() {
      s.busy = false;
      if (s.pending.capacity() > CompactWalkScratch::kKeepPending) {
        std::vector<Survivor>().swap(s.pending);
      }
    }
  } release(scratch);

  const CompactAutomaton& a = compact_automaton(max_dist);
  const QueryWindows windows(q, max_dist, scratch);
  const std::size_t n = q.size();
  const std::size_t k = max_dist;
  // A live band at depth dd has a cell within k in columns 0..n, so dd is at
  // most n + k: parents are at depths below that.
  const std::size_t max_parent = windows.depths() - 1;

  // The walk keeps one stack of survivors: children whose band is still
  // alive, each with its band state and depth, the next to visit on top. A
  // visit finds the survivors among the record's block of children and
  // pushes them in reverse, so that they are taken in edge order and each
  // one's subtree before its next sibling: reports come in pre-order.
  std::vector<Survivor>& stack = scratch.pending;
  if (stack.size() < 256) stack.resize(256);
  std::size_t top = 0;  // stack[0, top) are waiting
  std::vector<char32_t>& path = scratch.path;
  if (kTrackPath && path.size() < max_parent + 1) path.resize(max_parent + 1);

  const std::uint32_t* const starts = ct.edge_starts(trie);
  const auto records = static_cast<std::uint32_t>(ct.node_count());
  const std::uint8_t* const bytes = ct.label_bytes();
  const std::uint16_t* const signatures = ct.child_signatures();
  const char32_t* const labels = ct.labels(trie);
  const std::uint16_t* const next = a.next.data();
  const std::uint8_t* const cells = a.cells.data();
  const std::uint8_t* const tight = a.tight.data();
  const std::uint32_t masks = a.mask_count;
  const std::uint32_t width = a.width;
  const bool query_bytes = windows.bytes_suffice();

  // Pushes the survivors among the children [begin, end) of a record at
  // depth d with band `state`. The stack grows by hand: the scan writes one
  // slot per child without a branch and keeps the slots of the survivors.
  // `live` holds the band's live cells inside the query when no edit is
  // left (0 otherwise).
  auto scan = [&](std::size_t d, std::uint16_t state, std::uint32_t live, std::uint32_t begin,
                  std::uint32_t end) __attribute__((always_inline)) {
    if (stack.size() < top + (end - begin)) {
      stack.resize(2 * (top + (end - begin)));
    }
    // The survivors' edge starts and signatures are read when they are
    // taken: start fetching them with the labels.
    __builtin_prefetch(starts + begin);
    __builtin_prefetch(signatures + begin);
    const std::uint16_t* const row = next + std::size_t{state} * masks;
    const std::uint8_t* const win = windows.ascii_row(d);
    const auto depth = static_cast<std::uint16_t>(d + 1);
    Survivor* out = stack.data() + top;
#if defined(__SSE2__)
    if (query_bytes && live != 0 && end - begin >= kLookupMin) {
      if constexpr (kCount) counts->looked_up += end - begin;
      const std::uint8_t* const chars = windows.chars(d);
      __m128i want[2 * CompactAutomaton::kMaxK + 1];
      std::uint32_t wanted = 0;
      for (std::uint32_t bits = live; bits != 0; bits &= bits - 1) {
        const auto i = static_cast<std::uint32_t>(__builtin_ctz(bits));
        want[wanted++] = _mm_set1_epi8(static_cast<char>(chars[i]));
      }
      const __m128i ascii = _mm_set1_epi8(0x7F);
      // 16 bytes at a time from the last group down, so that the matches
      // are pushed in reverse edge order like the scan's survivors.
      const std::uint32_t last = begin + ((end - begin - 1) & ~15u);
      for (std::uint32_t base = last;; base -= 16) {
        const __m128i group =
            _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + base)), ascii);
        __m128i hit = _mm_cmpeq_epi8(group, want[0]);
        for (std::uint32_t w = 1; w < wanted; ++w) {
          hit = _mm_or_si128(hit, _mm_cmpeq_epi8(group, want[w]));
        }
        std::uint32_t found = static_cast<std::uint32_t>(_mm_movemask_epi8(hit));
        if (end - base < 16) found &= (1u << (end - base)) - 1;
        while (found != 0) {
          const std::uint32_t bit = 31 - static_cast<std::uint32_t>(__builtin_clz(found));
          found ^= 1u << bit;
          const std::uint32_t c = base + bit;
          *out++ = {c, row[win[bytes[c]]], depth};
          if constexpr (kCount) ++counts->found;
        }
        if (base == begin) break;
      }
      top = static_cast<std::size_t>(out - stack.data());
      return;
    }
#endif
    if constexpr (kCount) counts->scanned += end - begin;
    if (query_bytes) {
      for (std::uint32_t c = end; c-- > begin;) {
        const std::uint16_t s = row[win[bytes[c]]];
        *out = {c, s, depth};
        out += s != CompactAutomaton::kDead;
      }
    } else {
      for (std::uint32_t c = end; c-- > begin;) {
        const char32_t label = labels[c];
        const std::uint32_t m = label < 128 ? win[label] : windows.other(label, d);
        const std::uint16_t s = row[m];
        *out = {c, s, depth};
        out += s != CompactAutomaton::kDead;
      }
    }
    top = static_cast<std::size_t>(out - stack.data());
  };

  // Starts fetching the child block (label bytes and edge starts) of
  // record r.
  auto prefetch_block = [&](std::uint32_t r) {
    const std::uint32_t block = starts[r] + 1;
    __builtin_prefetch(bytes + block);
    __builtin_prefetch(starts + block);
  };

  // The children of record r: [starts[r] + 1, end_of(r)).
  auto end_of = [&](std::uint32_t r) { return r + 1 < records ? starts[r + 1] + 1 : records; };
  scan(0, a.start, tight[a.start] & windows.inside(0), starts[0] + 1, end_of(0));
  while (top != 0) {
    const Survivor sv = stack[--top];
    if constexpr (kCount) ++counts->visited;
    // The next survivor below is taken once this one's subtree is done:
    // fetch its block meanwhile.
    if (top != 0) prefetch_block(stack[top - 1].record);
    const std::uint32_t c = sv.record;
    const std::size_t dd = sv.depth;
    const std::uint8_t byte = bytes[c];
    if constexpr (kTrackPath) {
      const char32_t ascii = byte & ~CompactLayout::kTerminalByte;
      path[dd - 1] = ascii != 0 ? ascii : labels[c];
    }

    // Column n sits at band cell n - dd + k when that is inside the band.
    if (n + k >= dd && n + k - dd < width) {
      const std::uint32_t dist = cells[std::size_t{sv.state} * width + (n + k - dd)];
      if (dist <= k) {
        const bool terminal = byte & CompactLayout::kTerminalByte;
        if (report(std::size_t{c}, terminal, dist,
                   std::span<const char32_t>(path.data(), kTrackPath ? dd : 0))) {
          return;
        }
      }
    }

    // No edit left: only a label equal to the query character of a live
    // cell inside the query can keep the band alive. With no such cell, no
    // child survives, and the record's children are not even located.
    const std::uint32_t tight_cells = tight[sv.state];
    const std::uint32_t live = tight_cells & windows.inside(dd);
    if (tight_cells != 0) {
      if (live == 0) {
        if constexpr (kCount) ++counts->skipped;
        continue;
      }
      // Nor when the signature of the record's children shows that none of
      // them bears one of those characters.
      if (query_bytes && (signatures[c] & windows.signature(dd, live)) == 0) {
        if constexpr (kCount) ++counts->filtered;
        continue;
      }
    }
    const std::uint32_t child_begin = starts[c] + 1;
    const std::uint32_t child_end = end_of(c);
    if (child_begin < child_end) {
      if (dd > max_parent) {
        throw InternalFault("compact walk passed its depth bound");
      }
      const std::size_t before = top;
      scan(dd, sv.state, live, child_begin, child_end);
      if constexpr (kCount) {
        if (tight_cells != 0) {
          ++counts->located;
          counts->located_in_vain += top == before;
        }
      }
      // The first surviving child is taken next: start fetching its block,
      // and those of the next few siblings, so that their latencies overlap.
      const std::size_t ahead = std::min<std::size_t>(top - before, kPrefetchAhead);
      for (std::size_t i = top; i > top - ahead; --i) prefetch_block(stack[i - 1].record);
    }
  }
}

}  // namespace tessaloom::prefix::matcher
