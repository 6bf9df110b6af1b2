// Video ranking: which videos best match typed text. The matched trie nodes
// are weighed by distance and by whether they end a term, their payloads are
// pooled per video in visiting order (so scores are reproducible bit for bit),
// and each video's share of the pooled total is its score.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "prefix/matcher/matcher.h"
#include "prefix/trie/trie.h"

namespace tessaloom::ranking {

// Scores below this are dropped unless the caller gives its own threshold.
inline constexpr double kDefaultMinScore = 0.01;
// Weight of a match at distance d > 0 is (1 - d/n) * kTypoWeight.
inline constexpr double kTypoWeight = 0.05;
// Extra factor for a node that does not end a term.
inline constexpr double kPrefixWeight = 0.85;

struct VideoScore {
  std::string key;  // decimal id (Int32 mode) or 36-char UUID text
  double score;
  bool operator==(const VideoScore&) const = default;
};

struct Candidate {
  std::uint32_t video;  // video number, not yet checked against the id table
  double score;
  bool operator==(const Candidate&) const = default;
};

// The videos best matching a query of `n_chars` characters whose matched
// nodes are `nodes`, in visiting order (the index value chooses them: term
// ends only, every node when none matches, or as include_prefix_nodes says),
// best first; equal scores by ascending video number. With a limit, the first
// `limit` entries of that order, after which video numbers outside the active
// id table are dropped (so fewer than `limit` may come back). Scores below
// min_score (kDefaultMinScore when absent) are dropped. Throws InternalFault
// on arrays that break the trie's invariants.
std::vector<VideoScore> rank_videos(const prefix::trie::Trie& trie,
                                    std::span<const prefix::matcher::NodeMatch> nodes,
                                    std::size_t n_chars, std::optional<std::size_t> limit,
                                    std::optional<double> min_score);

// The pooling step of rank_videos: every video whose share of the pooled
// total is >= threshold, in no particular order. Empty when the pooled total
// is not above 0. Throws InternalFault for a node outside `terminal` or
// `payloads`, or a payload with fewer counts than ids.
std::vector<Candidate> score_videos(const prefix::trie::Trie& trie,
                                    std::span<const prefix::matcher::NodeMatch> nodes,
                                    std::size_t n_chars, double threshold);

}  // namespace tessaloom::ranking
