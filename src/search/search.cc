#include "search/search.h"

#include <algorithm>
#include <array>
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
using prefix::trie::EdgeRange;
using prefix::trie::Trie;

namespace {

// Values by video number: for tables up to kDenseVideos a plain array of
// slots kept per thread between queries, each slot stamped with the use it
// belongs to, so that a fresh use (clear()) only takes a new stamp; a hash
// map for larger tables, or when the thread's array is already in use. Maps
// of one T and Tag share the thread's array; another Tag has its own.
template <class T, int Tag = 0>
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

// kTypo to the power d, by repeated products (as the reference forms it).
double closeness(std::uint32_t d) {
  double out = 1.0;
  for (std::uint32_t i = 0; i < d; ++i) out *= kTypo;
  return out;
}

// A node's totals by how far below it the terms end: its own term, the terms
// one and two characters longer, and the rest.
struct Levels {
  std::uint64_t n1 = 0;  // the children's counts (for the node's own count)
  std::uint64_t own1 = 0;
  std::uint64_t own2 = 0;
};

// The weighted count t^d (o0 + g (o1 + r (o2 + r o3))).
double weighted(double close, double o0, double o1, double o2, double o3) {
  return close * (o0 + kLonger * (o1 + kFurther * (o2 + kFurther * o3)));
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
  double rest = 0.0;
  if (n_listed < videos) {
    const std::uint64_t left_over = root_total > listed_sum ? root_total - listed_sum : 0;
    rest = static_cast<double>(left_over) / static_cast<double>(videos - n_listed);
  }
  out.norms_.resize(videos);
  for (std::uint32_t v = 0; v < videos; ++v) {
    const double len = listed[v] ? static_cast<double>(length[v]) : rest;
    out.norms_[v] = std::log(len + kSmoothing);
  }
  out.collection_ = static_cast<double>(std::max<std::uint32_t>(root_total, 1));
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
  // Over a tree a word reads each payload at most five times: as a match, as
  // a match's child, grandchild and great-grandchild, and as a child of a
  // matched term (for its own count).
  const std::uint64_t per_word = 5 * trie.payloads.bytes().size() + 5;

  VideoMap<Pooled> pool(videos);
  VideoMap<std::uint64_t> below(videos);
  VideoMap<std::uint64_t, 1> under(videos);
  VideoMap<Levels> levels(videos);
  // Each word's log of m b, summed over the words with a background.
  double base = 0.0;
  std::uint32_t counted = 0;
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
    // The term at `node` (a term end): f(video, own count) for each positive
    // own count, its count less its children's; returns its own total.
    auto own_of = [&](std::size_t node, auto&& f) -> std::uint64_t {
      below.clear();
      std::uint64_t below_total = 0;
      const EdgeRange range = trie.edge_range(node);
      for (std::size_t e = range.begin; e < range.end; ++e) {
        std::uint32_t child_total = 0;
        if (read_payload(trie, trie.child(e), videos, ids, child_total, left,
                         [&](std::uint32_t v, std::uint32_t c) { below.at(v) += c; })) {
          below_total += child_total;
        }
      }
      std::uint32_t total = 0;
      read_payload(trie, node, videos, ids, total, left, [&](std::uint32_t v, std::uint32_t c) {
        const std::uint64_t* b = below.find(v);
        const std::uint64_t under = b ? *b : 0;
        if (c > under) f(v, c - under);
      });
      return total > below_total ? total - below_total : 0;
    };
    // Totals per distance: own terms, one and two characters longer, rest.
    std::array<std::array<std::uint64_t, 4>, kMaxDist + 1> sums{};
    for (const auto& [node, d] : matched) {
      const bool terminal = trie.is_terminal(node);
      const double close = closeness(d);
      std::array<std::uint64_t, 4>& sum = sums[d];
      if (!word.prefix) {
        sum[0] += own_of(node, [&](std::uint32_t v, std::uint64_t own) {
          offer(v, close * static_cast<double>(own));
        });
        continue;
      }
      // A prefix word: the node's own term and those below it, by how much
      // longer they are. Each payload below is read once: a grandchild's
      // counts go to its parent's own count and, with its children's, to
      // its own.
      levels.clear();
      std::uint64_t n1_total = 0, own1_total = 0, own2_total = 0;
      const EdgeRange range = trie.edge_range(node);
      for (std::size_t e = range.begin; e < range.end; ++e) {
        const std::size_t child = trie.child(e);
        const bool child_term = trie.is_terminal(child);
        below.clear();
        std::uint64_t child_below = 0;
        const EdgeRange child_range = trie.edge_range(child);
        for (std::size_t f = child_range.begin; f < child_range.end; ++f) {
          const std::size_t grandchild = trie.child(f);
          const bool grandchild_term = trie.is_terminal(grandchild);
          if (!child_term && !grandchild_term) continue;
          std::uint64_t grandchild_below = 0;
          if (grandchild_term) {
            under.clear();
            const EdgeRange last = trie.edge_range(grandchild);
            for (std::size_t h = last.begin; h < last.end; ++h) {
              std::uint32_t t = 0;
              if (read_payload(trie, trie.child(h), videos, ids, t, left,
                               [&](std::uint32_t v, std::uint32_t c) { under.at(v) += c; })) {
                grandchild_below += t;
              }
            }
          }
          std::uint32_t t = 0;
          if (read_payload(trie, grandchild, videos, ids, t, left,
                           [&](std::uint32_t v, std::uint32_t c) {
                             if (child_term) below.at(v) += c;
                             if (grandchild_term) {
                               const std::uint64_t* u = under.find(v);
                               const std::uint64_t less = u ? *u : 0;
                               if (c > less) levels.at(v).own2 += c - less;
                             }
                           })) {
            child_below += t;
            if (grandchild_term && t > grandchild_below) own2_total += t - grandchild_below;
          }
        }
        if (!terminal && !child_term) continue;
        std::uint32_t t = 0;
        if (read_payload(trie, child, videos, ids, t, left, [&](std::uint32_t v, std::uint32_t c) {
              if (terminal) levels.at(v).n1 += c;
              if (child_term) {
                const std::uint64_t* b = below.find(v);
                const std::uint64_t less = b ? *b : 0;
                if (c > less) levels.at(v).own1 += c - less;
              }
            })) {
          if (terminal) n1_total += t;
          if (child_term && t > child_below) own1_total += t - child_below;
        }
      }
      std::uint32_t total = 0;
      read_payload(trie, node, videos, ids, total, left, [&](std::uint32_t v, std::uint32_t c) {
        const Levels* l = levels.find(v);
        const Levels none;
        if (!l) l = &none;
        const std::uint64_t own0 = terminal && c > l->n1 ? c - l->n1 : 0;
        const std::uint64_t known = own0 + l->own1 + l->own2;
        const std::uint64_t rest = c > known ? c - known : 0;
        offer(v, weighted(close, static_cast<double>(own0), static_cast<double>(l->own1),
                          static_cast<double>(l->own2), static_cast<double>(rest)));
      });
      const std::uint64_t own0_total = terminal && total > n1_total ? total - n1_total : 0;
      const std::uint64_t known = own0_total + own1_total + own2_total;
      sum[0] += own0_total;
      sum[1] += own1_total;
      sum[2] += own2_total;
      sum[3] += total > known ? total - known : 0;
    }
    // The word's background share, summed in order of distance.
    double share = 0.0;
    for (std::uint32_t d = 0; d <= std::min(word_dist, kMaxDist); ++d) {
      const auto& sum = sums[d];
      share += weighted(closeness(d), static_cast<double>(sum[0]), static_cast<double>(sum[1]),
                        static_cast<double>(sum[2]), static_cast<double>(sum[3]));
    }
    const double background = kSmoothing * (share / norms.collection());
    if (background > 0.0) {
      base += std::log(background);
      ++counted;
    }
    for (std::uint32_t v : word_touched) {
      Pooled& p = pool.at(v);
      if (background > 0.0) p.sum += std::log1p(p.best / background);
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
  budget.take(kept * sizeof(Hit));
  hits.reserve(kept);
  const double parts = static_cast<double>(counted);
  for (std::uint32_t v : pool.touched()) {
    const Pooled& p = *pool.find(v);
    if (p.words < least) continue;
    // G, the geometric mean of the words' likelihoods.
    const double g = counted ? std::exp((p.sum + base - parts * norms[v]) / parts) : 0.0;
    hits.push_back({v, static_cast<double>(p.words) + g / (1.0 + g), p.words});
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
