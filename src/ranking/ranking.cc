#include "ranking/ranking.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "common/fault.h"
#include "format/format.h"

namespace tessaloom::ranking {

using common::InternalFault;
using payload::PayloadEntries;
using prefix::trie::Trie;
using prefix::trie::VideoIds;

namespace {

using prefix::matcher::NodeMatch;

// Video number -> weighted sum, open addressing with linear probing. Sums are
// only ever added to, one node after the other, so each video's sum is formed
// in the nodes' visiting order whatever the table's layout.
class VideoPool {
 public:
  explicit VideoPool(std::size_t expected) {
    std::size_t cap = 16;
    while (cap < 2 * expected) cap *= 2;
    rehash(cap);
  }

  void add(std::uint32_t video, double amount) {
    std::size_t i = slot_of(video);
    while (slots_[i].key != kEmpty && slots_[i].key != video) {
      i = (i + 1) & mask_;
    }
    if (slots_[i].key == kEmpty) {
      if (2 * (size_ + 1) > slots_.size()) {
        rehash(2 * slots_.size());
        add(video, amount);
        return;
      }
      slots_[i].key = video;
      ++size_;
    }
    slots_[i].sum += amount;
  }

  std::size_t size() const { return size_; }

  template <class F>
  void for_each(F&& f) const {
    for (const Slot& s : slots_) {
      if (s.key != kEmpty) f(static_cast<std::uint32_t>(s.key), s.sum);
    }
  }

 private:
  static constexpr std::uint64_t kEmpty = std::numeric_limits<std::uint64_t>::max();
  struct Slot {
    std::uint64_t key = kEmpty;  // a video number, or kEmpty
    double sum = 0.0;
  };

  std::size_t slot_of(std::uint32_t video) const {
    // Fibonacci hashing: the top bits of the product spread small, dense
    // video numbers over the whole table.
    return static_cast<std::size_t>((static_cast<std::uint64_t>(video) * 0x9E3779B97F4A7C15ull) >>
                                    shift_);
  }

  void rehash(std::size_t capacity) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    shift_ = 64 - std::countr_zero(capacity);
    size_ = 0;
    for (const Slot& s : old) {
      if (s.key == kEmpty) continue;
      std::size_t i = slot_of(static_cast<std::uint32_t>(s.key));
      while (slots_[i].key != kEmpty) i = (i + 1) & mask_;
      slots_[i] = s;
      ++size_;
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  int shift_ = 64;
  std::size_t size_ = 0;
};

// Video number -> weighted sum for the video numbers below a power of two,
// as a plain array indexed by the number: no hashing, one add per entry. The
// array is kept per thread between calls (sized for the largest video table
// ranked so far, rounded up to a power of two, up to kMaxVideos). Outside a
// call every entry holds -0.0, which no sum can equal: amounts are never
// negative, and -0.0 + a is a for every a >= +0.0, so a sum starting there
// is bit for bit the one starting at 0.0. A call notes the numbers it
// touches, in first-touch order, and puts back -0.0 in those alone when it
// ends.
class DensePool {
 public:
  // Video tables up to this size are pooled densely (12 bytes per video,
  // rounded up to a power of two, kept per ranking thread: 48 MiB at most);
  // numbers at or above the pool's size, and every number of a larger
  // table, go to the hashed pool.
  static constexpr std::size_t kMaxVideos = std::size_t{1} << 22;

  // A pool for the video numbers below the least power of two >= `videos`
  // (at most kMaxVideos); none for 0.
  explicit DensePool(std::size_t videos)
      : s_(storage().busy ? own_ : storage()), size_(videos == 0 ? 0 : std::bit_ceil(videos)) {
    if (s_.sums.size() < size_) {
      s_.sums.resize(size_, -0.0);
      s_.touched.resize(size_ + 1);  // a spare slot: see add_all
    }
    s_.busy = true;
    sums_ = s_.sums.data();
    touched_ = s_.touched.data();
  }
  DensePool(const DensePool&) = delete;
  DensePool& operator=(const DensePool&) = delete;
  ~DensePool() {
    for (std::size_t i = 0; i < count_; ++i) sums_[touched_[i]] = -0.0;
    s_.busy = false;
  }

  std::size_t size() const { return size_; }
  // Whether every number whose set bits are among those of `ids_or` is
  // below size() (a power of two, or 0).
  bool holds(std::uint32_t ids_or) const { return ids_or < size_; }
  // Adds amount >= +0.0 to the sum of v < size(), noting v on its first
  // touch.
  void add(std::uint32_t v, double amount) {
    double& sum = sums_[v];
    if (untouched(sum)) [[unlikely]]
      touched_[count_++] = v;
    sum += amount;
  }
  // add(ids[k], amount_of(counts[k])) for k < n, every id below size(): the
  // one loop that pools nearly every entry, out of line, with the pool's
  // pointers in locals that the compiler keeps in registers.
  template <class Count, class AmountOf>
  [[gnu::noinline]] void add_all(const std::uint32_t* ids, const Count* counts, std::uint64_t n,
                                 AmountOf amount_of) {
    double* const sums = sums_;
    std::uint32_t* const touched = touched_;
    std::size_t t = count_;
    auto add = [&](std::uint64_t k) __attribute__((always_inline)) {
      double* const slot = sums + ids[k];
      const double sum = *slot;
      // Noted on its first touch without a branch (about half the entries
      // of a query are first touches, in no pattern): written always, kept
      // by counting it. The list has one spare slot for that write.
      touched[t] = ids[k];
      t += untouched(sum);
      *slot = sum + amount_of(counts[k]);
    };
    std::uint64_t k = 0;
    for (; k + 4 <= n; k += 4) {
      add(k);
      add(k + 1);
      add(k + 2);
      add(k + 3);
    }
    for (; k < n; ++k) add(k);
    count_ = t;
  }
  std::size_t count() const { return count_; }
  const double* sums() const { return sums_; }
  // Calls f(video, sum) for each video touched, in first-touch order, and
  // puts its sum back to -0.0 in the same pass: the pool is empty after.
  template <class F>
  void drain(F&& f) {
    for (std::size_t i = 0; i < count_; ++i) {
      const std::uint32_t v = touched_[i];
      f(v, sums_[v]);
      sums_[v] = -0.0;
    }
    count_ = 0;
  }

 private:
  // 1 for a sum still at -0.0, else 0: every sum is >= +0.0 once touched,
  // so the sign bit alone tells them apart.
  static std::uint64_t untouched(double sum) { return std::bit_cast<std::uint64_t>(sum) >> 63; }
  struct Storage {
    std::vector<double> sums;
    std::vector<std::uint32_t> touched;
    bool busy = false;
  };
  static Storage& storage() {
    thread_local Storage s;
    return s;
  }

  Storage own_;  // used only if the thread's storage is in use
  Storage& s_;
  std::size_t size_;
  double* sums_ = nullptr;
  std::uint32_t* touched_ = nullptr;
  std::size_t count_ = 0;
};

// Adds a payload's entries, weighed by w, to their videos' sums, in stored
// order. `amounts` (or null) holds w * c for the one-byte counts c.
void pool_entries(const PayloadEntries& e, double w, const double* amounts, DensePool& dense,
                  VideoPool& spilled) {
  if (dense.holds(e.ids_or)) [[likely]] {
    if (e.byte_counts != nullptr && amounts != nullptr) {
      dense.add_all(e.ids, e.byte_counts, e.n, [amounts](std::uint8_t c) { return amounts[c]; });
    } else if (e.byte_counts != nullptr) {
      dense.add_all(e.ids, e.byte_counts, e.n,
                    [w](std::uint8_t c) { return w * static_cast<double>(c); });
    } else {
      dense.add_all(e.ids, e.counts, e.n,
                    [w](std::uint32_t c) { return w * static_cast<double>(c); });
    }
    return;
  }
  for (std::uint64_t k = 0; k < e.n; ++k) {
    const std::uint32_t c = e.byte_counts != nullptr ? e.byte_counts[k] : e.counts[k];
    const double amount = w * static_cast<double>(c);
    if (e.ids[k] < dense.size()) {
      dense.add(e.ids[k], amount);
    } else {
      spilled.add(e.ids[k], amount);
    }
  }
}

// The longest id list kept between calls by a ranking thread.
constexpr std::size_t kKeepIds = std::size_t{1} << 16;

bool ranks_before(const Candidate& a, const Candidate& b) {
  if (a.score != b.score) return a.score > b.score;
  return a.video < b.video;
}

// Weight of a match at `distance` for a query of `n_chars` characters, or
// nullopt when the match carries no weight (d > 0 with d >= n).
std::optional<double> closeness_weight(std::uint32_t distance, std::size_t n_chars) {
  if (distance == 0) return 1.0;
  if (n_chars == 0) return std::nullopt;
  const double q =
      (1.0 - static_cast<double>(distance) / static_cast<double>(n_chars)) * kTypoWeight;
  if (q <= 0.0) return std::nullopt;
  return q;
}

// A sum below which sum / total rounds below `share` (the ordered
// comparison sum / total >= share fails), or 0.0 where no such bound is
// kept: for a share or a product share * total that is not a normal number
// (zero, subnormal, infinite or NaN), whose rounding is not relative. With
// u = 2^-53, the bound is at most share * total * (1 + u)^2 * (1 - 2^-48),
// under share * total * (1 - 2^-49); a sum below it has a quotient below
// share * (1 - 2^-49), more than one rounding under share (and, if that
// quotient is subnormal, more than one spacing under share >= the least
// normal number), so the quotient rounds below share.
[[gnu::noinline]] double short_of_share(double share, double total) {
  const double product = share * total;
  if (!std::isnormal(share) || !std::isnormal(product) || share < 0.0) return 0.0;
  return product * (1.0 - 0x1p-48);
}

// Orders by score, highest first, then by ascending video number; with a
// limit keeps exactly the first `limit` of that order.
void cut_and_order(std::vector<Candidate>& candidates, std::optional<std::size_t> limit) {
  if (limit && *limit < candidates.size()) {
    const auto keep = candidates.begin() + static_cast<std::ptrdiff_t>(*limit);
    std::nth_element(candidates.begin(), keep, candidates.end(), ranks_before);
    candidates.erase(keep, candidates.end());
  }
  std::sort(candidates.begin(), candidates.end(), ranks_before);
}

// Renders each candidate's video number as its external key, in order,
// dropping numbers that name no video.
std::vector<VideoScore> render_keys(const Trie& trie, std::span<const Candidate> ordered) {
  std::vector<VideoScore> out;
  out.reserve(ordered.size());
  const VideoIds& videos = trie.videos;
  const std::size_t n = videos.size();
  for (const Candidate& c : ordered) {
    if (c.video < n) out.push_back({videos.key(c.video), c.score});
  }
  return out;
}

// The touched videos whose share of `total` is at least `threshold`, in no
// particular order; with a limit, only the first `limit` of the ranking
// order among them. Empties both pools. Out of line, apart from the pooling
// loop, whose registers it would otherwise crowd.
[[gnu::noinline]] std::vector<Candidate> offer_candidates(DensePool& dense, VideoPool& spilled,
                                                          double total, double threshold,
                                                          std::optional<std::size_t> limit) {
  std::vector<Candidate> out;
  const std::size_t touched = dense.count() + spilled.size();
  // Most touched videos fall far short of the threshold: a sum below
  // `short_of` is passed over without its division.
  const double short_of = short_of_share(threshold, total);
  if (!limit || *limit >= touched) {
    out.reserve(touched);
    auto offer = [&](std::uint32_t video, double sum) {
      if (sum < short_of) return;
      const double score = sum / total;
      // Ordered comparison: a NaN threshold lets nothing through.
      if (score >= threshold) out.push_back({video, score});
    };
    dense.drain(offer);
    spilled.for_each(offer);
    return out;
  }
  // A heap of the best `limit` so far, the worst of them at its front. Once
  // it is full, most videos rank after that worst one: they are passed over
  // on one comparison of scores.
  const std::size_t keep = *limit;
  out.reserve(keep);
  if (keep == 0) {
    dense.drain([](std::uint32_t, double) {});
    return out;
  }
  double worst = 0.0;
  double passed_over = short_of;  // below the threshold, then below the worst kept
  auto offer = [&](std::uint32_t video, double sum) {
    if (sum < passed_over) return;
    const Candidate c{video, sum / total};
    if (out.size() == keep) {
      if (c.score < worst || !ranks_before(c, out.front())) return;
    } else if (!(c.score >= threshold)) {
      return;
    }
    if (out.size() == keep) {
      std::pop_heap(out.begin(), out.end(), ranks_before);
      out.back() = c;
    } else {
      out.push_back(c);
    }
    std::push_heap(out.begin(), out.end(), ranks_before);
    worst = out.front().score;
    if (out.size() == keep) passed_over = std::max(short_of, short_of_share(worst, total));
  };
  dense.drain(offer);
  spilled.for_each(offer);
  return out;
}

// score_videos, keeping with a limit only the first `limit` candidates of
// the ranking order (in no particular order): a candidate that ranks after
// the worst of those kept is never stored.
std::vector<Candidate> pool_candidates(const Trie& trie, std::span<const NodeMatch> nodes,
                                       std::size_t n_chars, double threshold,
                                       std::optional<std::size_t> limit) {
  // Video numbers are dense: below the video table's size (rounded up to a
  // power of two) they are pooled in an array; any beyond it (which
  // rendering drops, but which still compete for the cut) are hashed, as is
  // every number of a table above DensePool::kMaxVideos.
  const std::size_t videos = trie.videos.size();
  DensePool dense(videos <= DensePool::kMaxVideos ? videos : 0);
  VideoPool spilled(dense.size() == 0 ? 16 * nodes.size() : 0);
  thread_local std::vector<std::uint32_t> kept_ids;  // one payload's ids and counts
  std::vector<std::uint32_t>& ids = kept_ids;

  // The weights by distance, for the distances a walk reports.
  double weights[2][4];  // [terminal][distance], 0 when a match counts nothing
  for (std::uint32_t d = 0; d < 4; ++d) {
    const std::optional<double> q = closeness_weight(d, n_chars);
    weights[1][d] = q.value_or(0.0);
    weights[0][d] = q ? *q * kPrefixWeight : 0.0;
  }
  // For those weights, the amount of each one-byte count, w * c, made on
  // first use: a load instead of a conversion and a product per entry.
  // (Every byte value has its entry: a one-byte count is at most
  // format::kMaxOneByte in the stored form, which loading checked.)
  constexpr std::size_t kSmallCounts = 256;
  double amounts[2][4][kSmallCounts];
  bool made[2][4] = {};

  // One pass over the nodes in their order: each node's payload is read
  // once, and every video's sum is formed in that order.
  double total = 0.0;
  std::size_t entries = 0;
  // The nodes' payloads lie far apart: each is asked for ahead of its turn,
  // where it ends (and whether the node ends a term) kEndsAhead nodes ahead,
  // then its bytes kBytesAhead nodes ahead, so that many misses are in
  // flight at once instead of one per node; the first nodes' are asked for
  // all at once before the first is read.
  constexpr std::size_t kEndsAhead = 8, kBytesAhead = 4;
  const std::size_t node_count = trie.terminal.size();
  auto ask_end = [&](std::size_t node) {
    trie.payloads.prefetch_end(node);
    if (node < node_count) __builtin_prefetch(trie.terminal.data() + node);
  };
  for (std::size_t j = 0; j < kEndsAhead && j < nodes.size(); ++j) ask_end(nodes[j].node);
  for (std::size_t j = 0; j < kBytesAhead && j < nodes.size(); ++j)
    trie.payloads.prefetch_bytes(nodes[j].node);
  // Each id's sum is asked for as the id is decoded, so that the misses on
  // the pool overlap with the decoding and with each other. (An address past
  // the pool is only a hint, formed as a number: nothing reads it.)
  const std::uintptr_t sums = reinterpret_cast<std::uintptr_t>(dense.sums());
  auto ask = [sums](std::uint32_t v) {
    __builtin_prefetch(reinterpret_cast<const void*>(sums + sizeof(double) * v), 1);
  };
  for (std::size_t j = 0; j < nodes.size(); ++j) {
    const NodeMatch& m = nodes[j];
    if (j + kEndsAhead < nodes.size()) ask_end(nodes[j + kEndsAhead].node);
    if (j + kBytesAhead < nodes.size()) trie.payloads.prefetch_bytes(nodes[j + kBytesAhead].node);
    double w;
    const double* table = nullptr;
    if (m.distance < 4) {
      const bool terminal = trie.is_terminal(m.node);
      w = weights[terminal][m.distance];
      if (w == 0.0) continue;
      table = amounts[terminal][m.distance];
      if (!made[terminal][m.distance]) {
        for (std::size_t c = 0; c < kSmallCounts; ++c) {
          amounts[terminal][m.distance][c] = w * static_cast<double>(c);
        }
        made[terminal][m.distance] = true;
      }
    } else {
      const std::optional<double> q = closeness_weight(m.distance, n_chars);
      if (!q) continue;
      w = trie.is_terminal(m.node) ? *q : *q * kPrefixWeight;
    }
    auto check = [&](std::uint32_t total_count, std::uint64_t id_count, std::uint64_t count_count) {
      if (count_count < id_count) {
        throw InternalFault("payload of node " + std::to_string(m.node) + " has " +
                            std::to_string(id_count) + " video ids but only " +
                            std::to_string(count_count) + " counts");
      }
      entries += static_cast<std::size_t>(id_count);
      // Over a tree each node is matched at most once, so no more entries
      // are pooled than the index stores, each in at least two bytes. Four
      // times that proves nodes reachable along many paths, whose pooling
      // would take time quadratic in the size of the index.
      if (entries > 2 * trie.payloads.bytes().size() + 2) {
        throw InternalFault(
            "the matched nodes hold more video entries than the index stores: "
            "its arrays are not a tree (nodes are reachable along many paths)");
      }
      total += w * static_cast<double>(total_count);
    };
    PayloadEntries e;
    if (trie.payloads.entries(m.node, ids, check, e, ask))
      pool_entries(e, w, table, dense, spilled);
  }
  if (ids.capacity() > kKeepIds) std::vector<std::uint32_t>().swap(ids);
  if (!(total > 0.0)) return {};

  return offer_candidates(dense, spilled, total, threshold, limit);
}

}  // namespace

std::vector<Candidate> score_videos(const Trie& trie, std::span<const NodeMatch> nodes,
                                    std::size_t n_chars, double threshold) {
  return pool_candidates(trie, nodes, n_chars, threshold, std::nullopt);
}

std::vector<VideoScore> rank_videos(const Trie& trie, std::span<const NodeMatch> nodes,
                                    std::size_t n_chars, std::optional<std::size_t> limit,
                                    std::optional<double> min_score) {
  std::vector<Candidate> candidates =
      pool_candidates(trie, nodes, n_chars, min_score.value_or(kDefaultMinScore), limit);
  cut_and_order(candidates, limit);
  return render_keys(trie, candidates);
}

}  // namespace tessaloom::ranking
