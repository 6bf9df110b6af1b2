// Search: one ranked list of videos for the words a person typed. Each word
// is matched against the trie by the edit-distance walk of osa_walk.h, within
// its budget of edits; the last word may match as the beginning of terms.
// Each matched node's payload gives, per video, how the video matched that
// word; the best match per word is kept and the words are pooled.
//
// Ranking, per video:
//   - words: how many of the query's words it matched;
//   - per word, the best over its matched nodes of
//       closeness * rarity * frequency,
//     closeness 1 for an exact match, kTypo * (1 - d / (n + 1)) at d edits
//     for a word of n characters, times kPrefix when the video has only
//     longer terms beginning with the node's text; rarity
//     log(1 + N / T) / log(1 + N) for N videos and T occurrences of the term
//     (of the node's subtree, for a prefix); frequency BM25's saturation of
//     the video's count c of the term,
//       c (K1 + 1) / (c + K1 (1 - B + B L / A)) / (K1 + 1),
//     L the video's length in terms and A the mean, both from the root's
//     payload (a video cut from it gets the mean length of those cut);
//   - score = words + (sum of the per-word values) / (W + 1) for W words.
// Each per-word value is in (0, 1], so the score orders first by words and
// then by the sum. A video's own count of a whole term is its count at the
// term's node less its counts at the node's children (exact where nothing
// was cut to video_top_n). Hits come best first, equal scores by ascending
// video number; every value is formed in one fixed order, so a text gives
// the same scores bit for bit however it is asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "prefix/matcher/compact_layout.h"
#include "prefix/trie/trie.h"
#include "search/words.h"

namespace tessaloom::search {

inline constexpr double kTypo = 0.25;
inline constexpr double kPrefix = 0.8;
inline constexpr double kK1 = 1.2;
inline constexpr double kB = 0.5;

// The largest max_dist a query may ask.
inline constexpr std::uint32_t kMaxDist = 3;

struct Hit {
  std::uint32_t video;  // video number, within the index's id table
  double score;
  std::uint32_t words;
  bool operator==(const Hit&) const = default;
};

// What the ranking needs of each video's length, read once from the root's
// payload: the term of frequency's length normalisation,
// K1 (1 - B + B L / A), per video number below the id table's size.
class VideoNorms {
 public:
  VideoNorms() = default;
  // Reads the root's payload. Throws InternalFault when it is unreadable.
  static VideoNorms of(const prefix::trie::Trie& trie);
  // The norms of `trie`, or empty ones (usable() false) when the root's
  // payload is unreadable: search then reads it again and raises the fault.
  static VideoNorms or_empty(const prefix::trie::Trie& trie) noexcept;

  bool usable() const { return usable_; }
  double operator[](std::uint32_t video) const { return norms_[video]; }

 private:
  std::vector<double> norms_;  // one per video of the id table
  bool usable_ = false;
};

// The first `limit` hits for `words` (distinct, at most kMaxWords, max_dist
// at most kMaxDist: the caller checks). Throws InternalFault on arrays that
// break the trie's invariants, QueryTooLarge past the query's memory budget.
// `norms` are VideoNorms::of(trie), or empty ones, which search makes
// itself.
// `layout` is CompactLayout(trie), or an empty one (the words are then
// walked over the trie's arrays; the results are the same).
std::vector<Hit> search(const prefix::trie::Trie& trie,
                        const prefix::matcher::CompactLayout& layout, const VideoNorms& norms,
                        std::span<const Word> words, std::size_t limit,
                        std::optional<std::uint32_t> max_dist, bool transpositions);

}  // namespace tessaloom::search
