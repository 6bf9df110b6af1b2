// The fast walk: the same walk as banded_walk.h (same visits, same order,
// same prune, same reports) over a CompactTrie, with the distance band
// interned as a BandAutomaton state. A visited child costs one record load,
// one byte from a per-depth window table and one transition lookup; most
// children are rejected right there.
//
// Preconditions: ct.usable(), max_dist <= BandAutomaton::kMaxK and a query of
// at most kCompactMaxQuery characters (the window bits of a depth come from
// a table sized by the query).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/fault.h"
#include "prefix/matcher/band_automaton.h"
#include "prefix/matcher/compact_trie.h"

namespace tessaloom::prefix::matcher {

inline constexpr std::size_t kCompactMaxQuery = 64;

// For each parent depth d and label, the 2k+1 bits telling which query
// characters d-k .. d+k equal the label (bit i for character d-k+i).
class QueryWindows {
 public:
  QueryWindows(std::span<const char32_t> q, std::uint32_t k)
      : k_(k), depths_(q.size() + k + 1), ascii_(depths_ * 128, 0) {
    for (std::size_t x = 0; x < q.size(); ++x) {
      const char32_t ch = q[x];
      if (ch < 128) {
        // Character x lies in the window of depths x-k .. x+k, at bit x-d+k.
        const std::size_t d_lo = x > k ? x - k : 0;
        for (std::size_t d = d_lo; d <= x + k; ++d) {
          ascii_[d * 128 + ch] |= static_cast<std::uint8_t>(1u << (x + k - d));
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

  std::size_t depths() const { return depths_; }
  bool ascii_only() const { return other_.empty(); }
  const std::uint8_t* ascii_row(std::size_t d) const {
    return ascii_.data() + d * 128;
  }
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
  std::size_t depths_;
  std::vector<std::uint8_t> ascii_;
  std::vector<std::pair<char32_t, std::uint64_t>> other_;
};

// Walks `ct` for the query `q`. For each visited record whose band is alive
// and whose distance is within max_dist, in walk order, calls
//   report(record, terminal, distance, path)
// with `path` spelling the record (filled only when kTrackPath); report
// returns true to stop the walk.
template <bool kTrackPath, class Report>
void compact_walk(const CompactTrie& ct, std::span<const char32_t> q,
                  std::uint32_t max_dist, Report&& report) {
  const BandAutomaton& a = band_automaton(max_dist);
  const QueryWindows windows(q, max_dist);
  const std::size_t n = q.size();
  const std::size_t k = max_dist;
  // A live band at depth dd has a cell within k in columns 0..n, so dd is at
  // most n + k: parents are at depths below that.
  const std::size_t max_parent = windows.depths() - 1;

  // Each frame scans its whole block of children at once and keeps the
  // survivors (record and band state) on a shared stack, then takes them in
  // order. Scanning first lets the walk prefetch the child blocks of every
  // survivor while the subtrees of the earlier ones are being walked; reports
  // still come in pre-order, since a survivor is reported when it is taken.
  struct Survivor {
    std::uint32_t record;
    std::uint16_t state;
  };
  struct Frame {
    std::size_t begin;  // this frame's survivors: pending[begin, end)
    std::size_t end;
    std::size_t next;
  };
  std::vector<Frame> frames(max_parent + 1);
  // The survivors' stack, grown by hand: a scan writes one slot per child
  // without a branch and keeps the slots of the survivors.
  std::vector<Survivor> pending(256);
  std::size_t pending_size = 0;
  std::vector<char32_t> path(kTrackPath ? max_parent + 1 : 0);

  const CompactTrie::Record* const rec = ct.records().data();
  const std::uint16_t* const next = a.next.data();
  const std::uint8_t* const cells = a.cells.data();
  const std::uint32_t masks = a.mask_count;
  const std::uint32_t width = a.width;
  constexpr std::uint32_t kLabel = ~CompactTrie::kTerminalBit;
  const bool query_ascii = windows.ascii_only();

  auto scan = [&](std::size_t d, std::uint16_t state, std::uint32_t begin,
                  std::uint32_t end) {
    if (pending.size() < pending_size + (end - begin)) {
      pending.resize(2 * (pending_size + (end - begin)));
    }
    const std::uint16_t* const row = next + std::size_t{state} * masks;
    const std::uint8_t* const win = windows.ascii_row(d);
    Survivor* const first = pending.data() + pending_size;
    Survivor* out = first;
    if (query_ascii) {
      // Labels outside ASCII equal no query character: window 0.
      for (std::uint32_t c = begin; c < end; ++c) {
        const std::uint32_t label = rec[c].label_terminal & kLabel;
        const std::uint32_t m = label < 128 ? win[label & 127] : 0;
        const std::uint16_t s = row[m];
        *out = {c, s};
        out += s != BandAutomaton::kDead;
      }
    } else {
      for (std::uint32_t c = begin; c < end; ++c) {
        const std::uint32_t label = rec[c].label_terminal & kLabel;
        const std::uint32_t m =
            label < 128 ? win[label] : windows.other(label, d);
        const std::uint16_t s = row[m];
        *out = {c, s};
        out += s != BandAutomaton::kDead;
      }
    }
    // Fetch the survivors' child blocks while the earlier ones are walked.
    for (const Survivor* sv = first; sv < out; ++sv) {
      __builtin_prefetch(rec + rec[sv->record].first_child);
    }
    const std::size_t begin_slot = pending_size;
    pending_size = static_cast<std::size_t>(out - pending.data());
    frames[d] = {begin_slot, pending_size, begin_slot};
  };

  scan(0, a.start, rec[0].first_child, rec[1].first_child);
  std::size_t d = 0;
  for (;;) {
    Frame& f = frames[d];
    if (f.next == f.end) {
      pending_size = f.begin;
      if (d == 0) return;
      --d;
      continue;
    }
    const Survivor sv = pending[f.next++];
    const std::uint32_t c = sv.record;
    const std::size_t dd = d + 1;
    const std::uint32_t lt = rec[c].label_terminal;
    if constexpr (kTrackPath) path[d] = lt & kLabel;

    // Column n sits at band cell n - dd + k when that is inside the band.
    if (n + k >= dd && n + k - dd < width) {
      const std::uint32_t dist =
          cells[std::size_t{sv.state} * width + (n + k - dd)];
      if (dist <= k) {
        const bool terminal = lt & CompactTrie::kTerminalBit;
        if (report(std::size_t{c}, terminal, dist,
                   std::span<const char32_t>(path.data(),
                                             kTrackPath ? dd : 0))) {
          return;
        }
      }
    }

    const std::uint32_t child_begin = rec[c].first_child;
    const std::uint32_t child_end = rec[c + 1].first_child;
    if (child_begin < child_end) {
      if (dd > max_parent) {
        throw InternalFault("compact walk passed its depth bound");
      }
      scan(dd, sv.state, child_begin, child_end);
      d = dd;
    }
  }
}

}  // namespace tessaloom::prefix::matcher
