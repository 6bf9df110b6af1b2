#include "search/search.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>

#include "common/budget.h"
#include "common/fault.h"
#include "search/exact_walk.h"
#include "search/osa_walk.h"

namespace tessaloom::search {

using common::InternalFault;
using common::MemoryBudget;
using payload::require_parallel;
using prefix::trie::Trie;

namespace {

// What a search keeps per video, in slots by video number. The slots live
// per thread between searches (a plain array, for tables up to
// kDenseVideos) and are never cleared: each search takes fresh marks, one
// per word, so that a slot whose mark is older than the search's first is
// stale (as good as zero), and one comparison tells whether the current
// word has touched it. Larger tables, or a thread already searching, use a
// hash map per search instead.
struct Slot {
  double sum;           // the best values of the words done
  double best;          // the current word's best value
  std::uint32_t mark;   // the mark of the last word that touched it
  std::uint32_t words;  // how many words matched it
};
// A video's count in the children of one term (the part of the term's count
// that belongs to longer terms), marked with the term's use.
struct Below {
  std::uint64_t count;
  std::uint32_t mark;
};

inline constexpr std::size_t kDenseVideos = std::size_t{1} << 20;

template <class T>
class DenseSlots {
 public:
  explicit DenseSlots(T* data) : data_(data) {}
  T& operator[](std::uint32_t v) { return data_[v]; }
  const T* find(std::uint32_t v) const { return &data_[v]; }

 private:
  T* data_;
};

template <class T>
class SparseSlots {
 public:
  T& operator[](std::uint32_t v) { return map_.try_emplace(v, T{}).first->second; }
  const T* find(std::uint32_t v) const {
    auto it = map_.find(v);
    return it == map_.end() ? nullptr : &it->second;
  }

 private:
  std::unordered_map<std::uint32_t, T> map_;
};

// A thread's working memory for searches, reused from one to the next.
struct Scratch {
  std::vector<Slot> slots;
  std::vector<Below> below;
  std::uint32_t next_mark = 1;   // the first mark no slot holds
  std::uint32_t next_below = 1;  // likewise for below
  bool busy = false;
  std::vector<std::pair<std::size_t, std::uint32_t>> matched;
  std::vector<std::uint32_t> word_touched, touched, ids;

  // `count` consecutive fresh marks for slots of type T: after the counter
  // would wrap, every slot is made stale first.
  template <class T>
  static std::uint32_t take(std::vector<T>& slots, std::uint32_t& next, std::uint32_t count) {
    if (next > UINT32_MAX - count) {
      for (T& slot : slots) slot.mark = 0;
      next = 1;
    }
    const std::uint32_t first = next;
    next += count;
    return first;
  }
};

// A payload's bookkeeping: throws InternalFault when its ids outnumber its
// counts, or when a word has read more entries than a tree allows.
struct PayloadCheck {
  std::size_t node;
  std::uint32_t& total;
  std::uint64_t& entries_left;
  void operator()(std::uint32_t t, std::uint64_t id_count, std::uint64_t count_count) const {
    require_parallel(id_count, count_count, node);
    // Over a tree a word reads each payload at most twice (as a match and
    // as a match's child); more proves nodes reachable along many paths.
    if (id_count > entries_left) {
      throw InternalFault(
          "the matched nodes hold more video entries than the index stores: "
          "its arrays are not a tree (nodes are reachable along many paths)");
    }
    entries_left -= id_count;
    total = t;
  }
};

// Calls begin() once the payload's total is set, then f(video, count) for
// each entry of node's payload whose video is below `videos`; false when the
// payload is absent.
template <class Begin, class F>
bool read_payload(const Trie& trie, std::size_t node, std::uint32_t videos,
                  std::vector<std::uint32_t>& ids, std::uint32_t& total,
                  std::uint64_t& entries_left, Begin&& begin, F&& f) {
  auto lists = [&](const std::uint32_t* vs, const auto* counts, std::uint64_t n) {
    begin();
    for (std::uint64_t k = 0; k < n; ++k) {
      if (vs[k] < videos) f(vs[k], static_cast<std::uint32_t>(counts[k]));
    }
  };
  return trie.payloads.for_each_pair(node, ids, PayloadCheck{node, total, entries_left}, lists);
}

template <class F>
bool read_payload(const Trie& trie, std::size_t node, std::uint32_t videos,
                  std::vector<std::uint32_t>& ids, std::uint32_t& total,
                  std::uint64_t& entries_left, F&& f) {
  return read_payload(
      trie, node, videos, ids, total, entries_left, [] {}, f);
}

double closeness(std::uint32_t d, std::size_t n) {
  if (d == 0) return 1.0;
  return kTypo * (1.0 - static_cast<double>(d) / static_cast<double>(n + 1));
}

std::uint32_t table_size(const Trie& trie) {
  return static_cast<std::uint32_t>(std::min<std::size_t>(trie.videos.size(), UINT32_MAX));
}

}  // namespace

VideoNorms VideoNorms::of(const Trie& trie) {
  VideoNorms out;
  const std::uint32_t videos = table_size(trie);
  // Lengths: each video's count at the root, the first entry of a video
  // counting; a video missing there has the mean length of those missing.
  std::vector<std::uint32_t> length(videos, 0);
  std::vector<std::uint8_t> listed(videos, 0);
  std::uint64_t n_listed = 0, listed_sum = 0;
  std::uint32_t root_total = 0;
  std::vector<std::uint32_t> ids;
  std::uint64_t left = UINT64_MAX;
  if (trie.node_count() > 0) {
    read_payload(trie, 0, videos, ids, root_total, left, [&](std::uint32_t v, std::uint32_t c) {
      if (listed[v]) return;
      listed[v] = 1;
      length[v] = c;
      ++n_listed;
      listed_sum += c;
    });
  }
  const double mean = root_total != 0 && videos != 0
                          ? static_cast<double>(root_total) / static_cast<double>(videos)
                          : 1.0;
  double rest = 0.0;
  if (n_listed < videos) {
    const std::uint64_t left_over = root_total > listed_sum ? root_total - listed_sum : 0;
    rest = static_cast<double>(left_over) / static_cast<double>(videos - n_listed);
  }
  out.norms_.resize(videos);
  for (std::uint32_t v = 0; v < videos; ++v) {
    const double len = listed[v] ? static_cast<double>(length[v]) : rest;
    out.norms_[v] = kK1 * ((1.0 - kB) + kB * len / mean);
  }
  out.usable_ = true;
  return out;
}

VideoNorms VideoNorms::or_empty(const Trie& trie) noexcept {
  try {
    return of(trie);
  } catch (...) {
    return VideoNorms();
  }
}

std::vector<Hit> search(const Trie& trie, const prefix::matcher::CompactLayout& layout,
                        const VideoNorms& given, std::span<const Word> words, std::size_t limit,
                        std::optional<std::uint32_t> max_dist, bool transpositions) {
  std::vector<Hit> hits;
  if (words.empty() || limit == 0 || trie.node_count() == 0) return hits;
  const std::uint32_t videos = table_size(trie);
  if (videos == 0) return hits;
  VideoNorms made;
  if (!given.usable()) made = VideoNorms::of(trie);
  const VideoNorms& norms = given.usable() ? given : made;
  MemoryBudget budget;
  // Over a tree each node is read at most twice per word.
  const std::uint64_t per_word = 2 * trie.payloads.bytes().size() + 2;

  const double log_videos = std::log1p(static_cast<double>(videos));
  auto rarity = [&](std::uint64_t total) {
    return std::log1p(static_cast<double>(videos) /
                      static_cast<double>(std::max<std::uint64_t>(total, 1))) /
           log_videos;
  };
  // BM25's saturation of count c, with the video's length normalisation.
  // Never above cap(value): the saturation is below K1 + 1 (norms are at
  // least K1 (1 - B)), and each step rounds monotonically.
  auto frequency = [&](double value, std::uint32_t video, std::uint64_t count) {
    const double c = static_cast<double>(count);
    return value * (c * (kK1 + 1.0) / (c + norms[video])) / (kK1 + 1.0);
  };
  auto cap = [](double value) { return value * (kK1 + 1.0) / (kK1 + 1.0); };

  // The thread's scratch, or one of this search's own when the thread is
  // already searching.
  thread_local Scratch thread_scratch;
  Scratch own;
  Scratch& scratch = thread_scratch.busy ? own : thread_scratch;
  struct Release {
    Scratch& s;
    ~Release() { s.busy = false; }
  } release{scratch};
  scratch.busy = true;
  auto& matched = scratch.matched;
  auto& word_touched = scratch.word_touched;
  auto& touched = scratch.touched;  // every video matched, in first-match order
  auto& ids = scratch.ids;
  touched.clear();
  // tier[k]: how many videos match k of the words so far (k >= 1).
  std::vector<std::size_t> tier(words.size() + 1, 0);

  // Pools every word's matches into `slots` (marks from `first` on, one per
  // word) and keeps the candidates for the first `limit` hits in `hits`.
  auto pool = [&](auto& slots, auto& below, std::uint32_t first, auto take_below_mark) {
    for (std::size_t w = 0; w < words.size(); ++w) {
      const Word& word = words[w];
      const std::uint32_t mark = first + static_cast<std::uint32_t>(w);
      const std::size_t n = word.text.size();
      matched.clear();
      auto report = [&](const prefix::matcher::Reached& r) {
        budget.take(sizeof(matched[0]));
        matched.emplace_back(r.node, r.distance);
        return false;
      };
      const std::uint32_t word_dist = word_budget(n, max_dist);
      if (word_dist == 0) {
        // No edit allowed: the nodes spelling the word, looked up.
        exact_walk(trie.arrays(), word.text, !word.prefix, report);
      } else {
        walk_word(trie.arrays(), layout, word.text, word_dist, transpositions, !word.prefix, budget,
                  report);
      }
      budget.give(matched.size() * sizeof(matched[0]));
      std::uint64_t left = per_word;
      word_touched.clear();
      // The word's value for video v: frequency(base, v, c), kept when it is
      // the word's best for v. A value that cannot pass the best so far
      // (base's cap) is not computed.
      auto offer = [&](std::uint32_t v, double base, double base_cap, std::uint64_t c) {
        Slot& slot = slots[v];
        if (slot.mark != mark) {
          if (slot.mark < first) slot.sum = 0.0, slot.words = 0;  // stale
          slot.mark = mark;
          slot.best = frequency(base, v, c);
          word_touched.push_back(v);
        } else if (slot.best < base_cap) {
          const double value = frequency(base, v, c);
          if (value > slot.best) slot.best = value;
        }
      };
      for (const auto& [node, d] : matched) {
        const bool terminal = trie.is_terminal(node);
        // Counts of the longer terms below a term, to take away from its own.
        std::uint64_t below_total = 0;
        bool any_below = false;
        std::uint32_t below_mark = 0;
        if (terminal) {
          const prefix::trie::EdgeRange range = trie.edge_range(node);
          if (range.end > range.begin) below_mark = take_below_mark();
          for (std::size_t e = range.begin; e < range.end; ++e) {
            std::uint32_t child_total = 0;
            if (read_payload(trie, trie.child(e), videos, ids, child_total, left,
                             [&](std::uint32_t v, std::uint32_t c) {
                               Below& b = below[v];
                               if (b.mark != below_mark) {
                                 b.mark = below_mark;
                                 b.count = c;
                               } else {
                                 b.count += c;
                               }
                             })) {
              below_total += child_total;
              any_below = true;
            }
          }
        }
        const double close = closeness(d, n);
        // The node's total is read (and checked) before its entries.
        std::uint32_t total = 0;
        double whole = 0.0, part = 0.0, whole_cap = 0.0, part_cap = 0.0;
        auto weigh = [&] {
          const std::uint64_t own_total = total > below_total ? total - below_total : 0;
          whole = close * rarity(own_total);
          part = close * kPrefix * rarity(total);
          whole_cap = cap(whole);
          part_cap = cap(part);
        };
        if (!terminal) {
          // Matched as the beginning of longer terms only (a prefix word).
          read_payload(trie, node, videos, ids, total, left, weigh,
                       [&](std::uint32_t v, std::uint32_t c) { offer(v, part, part_cap, c); });
        } else if (!any_below) {
          // A term with nothing below it: each count is the video's own.
          read_payload(trie, node, videos, ids, total, left, weigh,
                       [&](std::uint32_t v, std::uint32_t c) {
                         if (c > 0) {
                           offer(v, whole, whole_cap, c);
                         } else if (word.prefix) {
                           offer(v, part, part_cap, c);
                         }
                       });
        } else {
          read_payload(trie, node, videos, ids, total, left, weigh,
                       [&](std::uint32_t v, std::uint32_t c) {
                         const Below* b = below.find(v);
                         const std::uint64_t under = b && b->mark == below_mark ? b->count : 0;
                         if (c > under) {
                           offer(v, whole, whole_cap, c - under);
                         } else if (word.prefix) {
                           offer(v, part, part_cap, c);
                         }
                       });
        }
      }
      for (std::uint32_t v : word_touched) {
        Slot& slot = slots[v];
        slot.sum += slot.best;
        if (slot.words > 0) {
          --tier[slot.words];
        } else {
          touched.push_back(v);
        }
        ++tier[++slot.words];
      }
    }

    // A video's score is its word count plus less than one, so the first
    // `limit` hits come from the tiers of most words that hold `limit`
    // videos.
    std::uint32_t least = 1;
    std::size_t kept = 0;
    for (std::size_t k = words.size(); k >= 1; --k) {
      kept += tier[k];
      if (kept >= limit) {
        least = static_cast<std::uint32_t>(k);
        break;
      }
    }
    const double parts = static_cast<double>(words.size() + 1);
    budget.take(kept * sizeof(Hit));
    hits.reserve(kept);
    for (std::uint32_t v : touched) {
      const Slot& slot = slots[v];
      if (slot.words >= least)
        hits.push_back({v, static_cast<double>(slot.words) + slot.sum / parts, slot.words});
    }
    budget.give(kept * sizeof(Hit));
  };

  const auto n_words = static_cast<std::uint32_t>(words.size());
  if (videos <= kDenseVideos) {
    if (scratch.slots.size() < videos) scratch.slots.resize(videos, Slot{0.0, 0.0, 0, 0});
    if (scratch.below.size() < videos) scratch.below.resize(videos, Below{0, 0});
    const std::uint32_t first = Scratch::take(scratch.slots, scratch.next_mark, n_words);
    DenseSlots<Slot> slots(scratch.slots.data());
    DenseSlots<Below> below(scratch.below.data());
    pool(slots, below, first, [&] { return Scratch::take(scratch.below, scratch.next_below, 1); });
  } else {
    SparseSlots<Slot> slots;
    SparseSlots<Below> below;
    std::uint32_t next_below = 1;
    pool(slots, below, 1, [&] { return next_below++; });
  }

  auto before = [](const Hit& a, const Hit& b) {
    return a.score != b.score ? a.score > b.score : a.video < b.video;
  };
  if (limit < hits.size()) {
    std::nth_element(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(limit), hits.end(),
                     before);
    hits.resize(limit);
  }
  std::sort(hits.begin(), hits.end(), before);
  return hits;
}

}  // namespace tessaloom::search
