// Search: one ranked list of videos for the words a person typed. Each word
// is matched against the trie by the edit-distance walk of osa_walk.h, within
// its budget of edits; the last word may match as the beginning of terms.
// Each matched node's payload gives, per video, how the video matched that
// word; the best match per word is kept and the words are pooled.
//
// Ranking: query likelihood. Each word is a term the video's text may have
// produced, typed with some typos and, for the last word, maybe unfinished;
// videos are ranked by how likely they make the query. Per video:
//   - words: how many of the query's words it matched, first;
//   - per word, the best over its matched nodes of the video's weighted
//     count, c = t^d (o0 + g (o1 + r (o2 + r o3))): d the node's edits,
//     t = kTypo; o0 the video's own count of the node's term (a whole-word
//     match; for words other than a prefix word, the only part), o1 and o2
//     its own counts of the terms one and two characters longer below the
//     node, o3 of the rest below, g = kLonger and r = kFurther (a term
//     that goes on further is less likely to be what is being typed);
//   - the word's background share b, the same weighted sum over the
//     catalogue's totals divided by the catalogue's count of terms, and the
//     word's likelihood in the video (c + m b) / (L + m), L the video's
//     length in terms (its count at the root; a video cut from it has the
//     mean length of those cut) and m = kSmoothing (Dirichlet smoothing:
//     a term rare in the catalogue weighs more, a long video less);
//   - G, the geometric mean of the words' likelihoods (words that match
//     nothing anywhere left out), and score = words + G / (1 + G).
// G / (1 + G) is below 1, so the score orders first by words and then by G.
// A video's own count of a whole term is its count at the term's node less
// its counts at the node's children (exact where nothing was cut to
// video_top_n). Hits come best first, equal scores by ascending video
// number; every value is formed in one fixed order, so a text gives the
// same scores bit for bit however it is asked.
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

inline constexpr double kTypo = 0.1;
inline constexpr double kLonger = 0.5;
inline constexpr double kFurther = 0.5;
inline constexpr double kSmoothing = 1.0;

// The largest max_dist a query may ask.
inline constexpr std::uint32_t kMaxDist = 3;

struct Hit {
  std::uint32_t video;  // video number, within the index's id table
  double score;
  std::uint32_t words;
  bool operator==(const Hit&) const = default;
};

// What the ranking needs of each video's length, read once from the root's
// payload: log(L + kSmoothing) per video number below the id table's size,
// and the catalogue's count of terms (the root's total, at least 1).
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
  double collection() const { return collection_; }

 private:
  std::vector<double> norms_;  // one per video of the id table
  double collection_ = 1.0;
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
