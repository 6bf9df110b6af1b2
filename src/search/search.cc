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
  double best = 0.0;    // the current word's best value
  std::uint32_t words = 0;
  std::uint32_t word = 0;  // 1 + the index of the last word that touched it
};

struct Entry {
  std::uint32_t video;
  std::uint32_t count;
};

// Reads node's payload into `out` (entries of videos below `videos` only)
// and returns its total count, or false when the payload is absent. Counts
// the entries read against `entries_left`.
bool read_payload(const Trie& trie, std::size_t node, std::uint32_t videos,
                  std::vector<std::uint32_t>& ids, std::vector<Entry>& out,
                  std::uint32_t& total, std::uint64_t& entries_left) {
  out.clear();
  auto check = [&](std::uint32_t t, std::uint64_t id_count, std::uint64_t count_count) {
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
  };
  return trie.payloads.for_each_pair(node, ids, check, [&](std::uint32_t v, std::uint32_t c) {
    if (v < videos) out.push_back({v, c});
  });
}

double closeness(std::uint32_t d, std::size_t n) {
  if (d == 0) return 1.0;
  return kTypo * (1.0 - static_cast<double>(d) / static_cast<double>(n + 1));
}

}  // namespace

std::uint32_t word_budget(std::size_t length, std::optional<std::uint32_t> max_dist) {
  if (max_dist) return *max_dist;
  return length <= 3 ? 0 : length <= 7 ? 1 : 2;
}

std::vector<Hit> search(const Trie& trie, std::span<const Word> words, std::size_t limit,
                        std::optional<std::uint32_t> max_dist, bool transpositions) {
  std::vector<Hit> hits;
  if (words.empty() || limit == 0 || trie.node_count() == 0) return hits;
  const std::size_t table =
      trie.id_mode == IdMode::Int32 ? trie.video_int32_ids.size() : trie.video_uuids.size();
  const std::uint32_t videos = static_cast<std::uint32_t>(std::min<std::size_t>(table, UINT32_MAX));
  if (videos == 0) return hits;
  MemoryBudget budget;
  std::vector<std::uint32_t> ids;
  std::vector<Entry> entries, below_entries;
  // Over a tree each node is read at most twice per word; the bound allows
  // that for every word, with slack.
  const std::uint64_t per_word = 2 * trie.payloads.bytes().size() + 2;

  // Lengths from the root's payload: the count of each video's terms.
  VideoMap<std::uint32_t> length(videos);
  double mean = 1.0, rest = 0.0;
  {
    std::uint32_t root_total = 0;
    std::uint64_t left = per_word;
    if (read_payload(trie, 0, videos, ids, entries, root_total, left)) {
      std::uint64_t listed = 0, listed_sum = 0;
      for (const Entry& e : entries) {
        bool existed;
        std::uint32_t& l = length.at(e.video, &existed);
        if (existed) continue;  // the first entry of a video is its length
        l = e.count;
        ++listed;
        listed_sum += e.count;
      }
      if (root_total != 0) mean = static_cast<double>(root_total) / static_cast<double>(videos);
      if (listed < videos) {
        const std::uint64_t left_over = root_total > listed_sum ? root_total - listed_sum : 0;
        rest = static_cast<double>(left_over) / static_cast<double>(videos - listed);
      }
    }
  }
  const double log_videos = std::log1p(static_cast<double>(videos));
  auto rarity = [&](std::uint64_t total) {
    return std::log1p(static_cast<double>(videos) / static_cast<double>(std::max<std::uint64_t>(total, 1))) /
           log_videos;
  };
  auto frequency = [&](double value, std::uint32_t video, std::uint64_t count) {
    const std::uint32_t* l = length.find(video);
    const double len = l ? static_cast<double>(*l) : rest;
    const double norm = kK1 * ((1.0 - kB) + kB * len / mean);
    const double c = static_cast<double>(count);
    return value * (c * (kK1 + 1.0) / (c + norm)) / (kK1 + 1.0);
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
      bool existed;
      Pooled& p = pool.at(video, &existed);
      if (p.word != stamp) {
        p.word = stamp;
        p.best = value;
        word_touched.push_back(video);
      } else if (value > p.best) {
        p.best = value;
      }
    };
    for (const auto& [node, d] : matched) {
      std::uint32_t total = 0;
      if (!read_payload(trie, node, videos, ids, entries, total, left)) continue;
      const double close = closeness(d, n);
      const bool terminal = trie.is_terminal(node);
      std::uint64_t below_total = 0;
      if (terminal) {
        // Counts of the longer terms below, to take away from the node's.
        below.clear();
        const EdgeRange range = trie.edge_range(node);
        for (std::size_t e = range.begin; e < range.end; ++e) {
          std::uint32_t child_total = 0;
          if (!read_payload(trie, trie.child(e), videos, ids, below_entries, child_total, left)) {
            continue;
          }
          below_total += child_total;
          for (const Entry& b : below_entries) below.at(b.video) += b.count;
        }
      }
      const std::uint64_t own_total = total > below_total ? total - below_total : 0;
      const double whole = close * rarity(own_total);
      const double part = close * kPrefix * rarity(total);
      for (const Entry& e : entries) {
        std::uint64_t own = 0;
        if (terminal) {
          const std::uint64_t* b = below.find(e.video);
          const std::uint64_t under = b ? *b : 0;
          own = e.count > under ? e.count - under : 0;
        }
        if (own > 0) {
          offer(e.video, frequency(whole, e.video, own));
        } else if (word.prefix) {
          offer(e.video, frequency(part, e.video, e.count));
        }
      }
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
