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

// Values by video number: for tables up to kDenseVideos a plain array of
// slots kept per thread between queries, each slot stamped with the use it
// belongs to, so that a fresh use (clear()) only takes a new stamp; a hash
// map for larger tables, or when the thread's array is already in use.
template <class T>
class VideoMap {
 public:
  static constexpr std::size_t kDenseVideos = std::size_t{1} << 20;

  explicit VideoMap(std::size_t videos)
      : dense_(videos <= kDenseVideos && !storage().busy), s_(storage()) {
    if (!dense_) return;
    s_.busy = true;
    if (s_.slots.size() < videos) s_.slots.resize(videos);
    renew();
  }
  VideoMap(const VideoMap&) = delete;
  VideoMap& operator=(const VideoMap&) = delete;
  ~VideoMap() {
    if (dense_) s_.busy = false;
  }

  // The value of v, value-initialised on its first touch since clear().
  T& at(std::uint32_t v) {
    if (dense_) {
      Slot& slot = s_.slots[v];
      if (slot.stamp != stamp_) {
        slot.stamp = stamp_;
        slot.value = T{};
        touched_.push_back(v);
      }
      return slot.value;
    }
    auto [it, inserted] = map_.try_emplace(v);
    if (inserted) touched_.push_back(v);
    return it->second;
  }
  const T* find(std::uint32_t v) const {
    if (dense_) return s_.slots[v].stamp == stamp_ ? &s_.slots[v].value : nullptr;
    auto it = map_.find(v);
    return it == map_.end() ? nullptr : &it->second;
  }
  // The numbers touched, in first-touch order.
  const std::vector<std::uint32_t>& touched() const { return touched_; }
  void clear() {
    if (dense_) {
      renew();
    } else {
      map_.clear();
    }
    touched_.clear();
  }

 private:
  struct Slot {
    T value{};
    std::uint32_t stamp = 0;  // 0: no use's
  };
  struct Storage {
    std::vector<Slot> slots;
    std::uint32_t stamp = 0;  // the last stamp taken
    bool busy = false;
  };
  static Storage& storage() {
    thread_local Storage s;
    return s;
  }
  // A stamp no slot holds: after the counter wraps, every slot is reset.
  void renew() {
    if (++s_.stamp == 0) {
      for (Slot& slot : s_.slots) slot.stamp = 0;
      s_.stamp = 1;
    }
    stamp_ = s_.stamp;
  }

  bool dense_;
  Storage& s_;
  std::uint32_t stamp_ = 0;
  std::unordered_map<std::uint32_t, T> map_;
  std::vector<std::uint32_t> touched_;
};

struct Pooled {
  double sum = 0.0;
  double best = 0.0;  // the current word's best value
  std::uint32_t words = 0;
  std::uint32_t word = 0;  // 1 + the index of the last word that touched it
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
  std::vector<std::uint32_t> ids;
  // Over a tree each node is read at most twice per word.
  const std::uint64_t per_word = 2 * trie.payloads.bytes().size() + 2;

  const double log_videos = std::log1p(static_cast<double>(videos));
  auto rarity = [&](std::uint64_t total) {
    return std::log1p(static_cast<double>(videos) /
                      static_cast<double>(std::max<std::uint64_t>(total, 1))) /
           log_videos;
  };
  // BM25's saturation of count c, with the video's length normalisation.
  auto frequency = [&](double value, std::uint32_t video, std::uint64_t count) {
    const double c = static_cast<double>(count);
    return value * (c * (kK1 + 1.0) / (c + norms[video])) / (kK1 + 1.0);
  };

  VideoMap<Pooled> pool(videos);
  VideoMap<std::uint64_t> below(videos);
  std::vector<std::pair<std::size_t, std::uint32_t>> matched;
  std::vector<std::uint32_t> word_touched;
  // tier[k]: how many videos match k of the words so far (k >= 1).
  std::vector<std::size_t> tier(words.size() + 1, 0);
  for (std::size_t w = 0; w < words.size(); ++w) {
    const Word& word = words[w];
    const std::uint32_t stamp = static_cast<std::uint32_t>(w + 1);
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
    auto offer = [&](std::uint32_t video, double value) {
      Pooled& p = pool.at(video);
      if (p.word != stamp) {
        p.word = stamp;
        p.best = value;
        word_touched.push_back(video);
      } else if (value > p.best) {
        p.best = value;
      }
    };
    for (const auto& [node, d] : matched) {
      const bool terminal = trie.is_terminal(node);
      // Counts of the longer terms below a term, to take away from its own.
      std::uint64_t below_total = 0;
      bool any_below = false;
      below.clear();
      if (terminal) {
        const prefix::trie::EdgeRange range = trie.edge_range(node);
        for (std::size_t e = range.begin; e < range.end; ++e) {
          std::uint32_t child_total = 0;
          if (read_payload(trie, trie.child(e), videos, ids, child_total, left,
                           [&](std::uint32_t v, std::uint32_t c) { below.at(v) += c; })) {
            below_total += child_total;
            any_below = true;
          }
        }
      }
      const double close = closeness(d, n);
      // The node's total is read (and checked) before its entries.
      std::uint32_t total = 0;
      double whole = 0.0, part = 0.0;
      auto weigh = [&] {
        const std::uint64_t own_total = total > below_total ? total - below_total : 0;
        whole = close * rarity(own_total);
        part = close * kPrefix * rarity(total);
      };
      if (!terminal) {
        // Matched as the beginning of longer terms only (a prefix word).
        read_payload(trie, node, videos, ids, total, left, weigh,
                     [&](std::uint32_t v, std::uint32_t c) { offer(v, frequency(part, v, c)); });
      } else if (!any_below) {
        // A term with nothing below it: each count is the video's own.
        read_payload(trie, node, videos, ids, total, left, weigh,
                     [&](std::uint32_t v, std::uint32_t c) {
                       if (c > 0) {
                         offer(v, frequency(whole, v, c));
                       } else if (word.prefix) {
                         offer(v, frequency(part, v, c));
                       }
                     });
      } else {
        read_payload(trie, node, videos, ids, total, left, weigh,
                     [&](std::uint32_t v, std::uint32_t c) {
                       const std::uint64_t* b = below.find(v);
                       const std::uint64_t under = b ? *b : 0;
                       if (c > under) {
                         offer(v, frequency(whole, v, c - under));
                       } else if (word.prefix) {
                         offer(v, frequency(part, v, c));
                       }
                     });
      }
    }
    for (std::uint32_t v : word_touched) {
      Pooled& p = pool.at(v);
      p.sum += p.best;
      if (p.words > 0) --tier[p.words];
      ++tier[++p.words];
    }
  }

  // A video's score is its word count plus less than one, so the first
  // `limit` hits come from the tiers of most words that hold `limit` videos.
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
  for (std::uint32_t v : pool.touched()) {
    const Pooled& p = *pool.find(v);
    if (p.words >= least)
      hits.push_back({v, static_cast<double>(p.words) + p.sum / parts, p.words});
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
  budget.give(kept * sizeof(Hit));
  return hits;
}

}  // namespace tessaloom::search
