#include "search/search.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>

#include "common/budget.h"
#include "common/fault.h"
#include "search/osa_walk.h"

namespace tessaloom::search {
namespace {

// Values by video number: a plain array for tables up to kDenseVideos, kept
// per thread between queries, with the numbers touched noted so that only
// they are put back; a hash map for larger tables.
template <class T>
class VideoMap {
 public:
  static constexpr std::size_t kDenseVideos = std::size_t{1} << 20;

  explicit VideoMap(std::size_t videos) : dense_(videos <= kDenseVideos) {
    if (dense_ && values_.size() < videos) {
      values_.resize(videos);
      seen_.resize(videos, 0);
    }
  }
  VideoMap(const VideoMap&) = delete;
  VideoMap& operator=(const VideoMap&) = delete;
  ~VideoMap() { clear(); }

  // The value of v (value-initialised on first touch), and whether it was
  // touched before.
  T& at(std::uint32_t v, bool* existed = nullptr) {
    if (dense_) {
      const bool was = seen_[v] != 0;
      if (!was) {
        seen_[v] = 1;
        touched_.push_back(v);
        values_[v] = T{};
      }
      if (existed) *existed = was;
      return values_[v];
    }
    auto [it, inserted] = map_.try_emplace(v);
    if (inserted) touched_.push_back(v);
    if (existed) *existed = !inserted;
    return it->second;
  }
  const T* find(std::uint32_t v) const {
    if (dense_) return seen_[v] ? &values_[v] : nullptr;
    auto it = map_.find(v);
    return it == map_.end() ? nullptr : &it->second;
  }
  // The numbers touched, in first-touch order.
  const std::vector<std::uint32_t>& touched() const { return touched_; }
  void clear() {
    if (dense_) {
      for (std::uint32_t v : touched_) seen_[v] = 0;
    } else {
      map_.clear();
    }
    touched_.clear();
  }

 private:
  bool dense_;
  std::vector<T>& values_ = storage().values;
  std::vector<std::uint8_t>& seen_ = storage().seen;
  std::unordered_map<std::uint32_t, T> map_;
  std::vector<std::uint32_t> touched_;

  struct Storage {
    std::vector<T> values;
    std::vector<std::uint8_t> seen;
  };
  static Storage& storage() {
    thread_local Storage s;
    return s;
  }
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

// Calls f(video, count) for each entry of node's payload whose video is
// below `videos`, after setting `total`; false when the payload is absent.
template <class F>
bool read_payload(const Trie& trie, std::size_t node, std::uint32_t videos,
                  std::vector<std::uint32_t>& ids, std::uint32_t& total,
                  std::uint64_t& entries_left, F&& f) {
  auto lists = [&](const std::uint32_t* vs, const auto* counts, std::uint64_t n) {
    for (std::uint64_t k = 0; k < n; ++k) {
      if (vs[k] < videos) f(vs[k], static_cast<std::uint32_t>(counts[k]));
    }
  };
  return trie.payloads.for_each_pair(node, ids, PayloadCheck{node, total, entries_left}, lists);
}

double closeness(std::uint32_t d, std::size_t n) {
  if (d == 0) return 1.0;
  return kTypo * (1.0 - static_cast<double>(d) / static_cast<double>(n + 1));
}

std::uint32_t table_size(const Trie& trie) {
  const std::size_t table =
      trie.id_mode == IdMode::Int32 ? trie.video_int32_ids.size() : trie.video_uuids.size();
  return static_cast<std::uint32_t>(std::min<std::size_t>(table, UINT32_MAX));
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

std::uint32_t word_budget(std::size_t length, std::optional<std::uint32_t> max_dist) {
  if (max_dist) return *max_dist;
  return length <= 3 ? 0 : length <= 7 ? 1 : 2;
}

std::vector<Hit> search(const Trie& trie, const VideoNorms& given, std::span<const Word> words,
                        std::size_t limit, std::optional<std::uint32_t> max_dist,
                        bool transpositions) {
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
  for (std::size_t w = 0; w < words.size(); ++w) {
    const Word& word = words[w];
    const std::uint32_t stamp = static_cast<std::uint32_t>(w + 1);
    const std::size_t n = word.text.size();
    matched.clear();
    osa_walk(trie, word.text, word_budget(n, max_dist), transpositions, budget,
             [&](std::size_t node, std::uint32_t d) {
               if (word.prefix || trie.is_terminal(node)) {
                 budget.take(sizeof(matched[0]));
                 matched.emplace_back(node, d);
               }
             });
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
      below.clear();
      if (terminal) {
        const EdgeRange range = trie.edge_range(node);
        for (std::size_t e = range.begin; e < range.end; ++e) {
          std::uint32_t child_total = 0;
          if (read_payload(trie, trie.child(e), videos, ids, child_total, left,
                           [&](std::uint32_t v, std::uint32_t c) { below.at(v) += c; })) {
            below_total += child_total;
          }
        }
      }
      const double close = closeness(d, n);
      double whole = 0.0, part = 0.0;
      // Set from the node's total, which the check reads before any entry.
      std::uint32_t total = 0;
      bool weighed = false;
      read_payload(trie, node, videos, ids, total, left, [&](std::uint32_t v, std::uint32_t c) {
        if (!weighed) {
          const std::uint64_t own_total = total > below_total ? total - below_total : 0;
          whole = close * rarity(own_total);
          part = close * kPrefix * rarity(total);
          weighed = true;
        }
        std::uint64_t own = 0;
        if (terminal) {
          const std::uint64_t* b = below.find(v);
          const std::uint64_t under = b ? *b : 0;
          own = c > under ? c - under : 0;
        }
        if (own > 0) {
          offer(v, frequency(whole, v, own));
        } else if (word.prefix) {
          offer(v, frequency(part, v, c));
        }
      });
    }
    for (std::uint32_t v : word_touched) {
      Pooled& p = pool.at(v);
      p.sum += p.best;
      ++p.words;
    }
  }

  const double parts = static_cast<double>(words.size() + 1);
  budget.take(pool.touched().size() * sizeof(Hit));
  hits.reserve(pool.touched().size());
  for (std::uint32_t v : pool.touched()) {
    const Pooled& p = *pool.find(v);
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
  budget.give(pool.touched().size() * sizeof(Hit));
  return hits;
}

}  // namespace tessaloom::search
