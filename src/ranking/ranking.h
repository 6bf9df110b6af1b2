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
#include <string_view>
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

// The videos best matching `term` (UTF-8), best first; equal scores by
// ascending video number. With a limit, the first `limit` entries of that
// order, after which video numbers outside the active id table are dropped
// (so fewer than `limit` may come back). `include_prefix_nodes` absent means
// term ends only, or every node when no term end matches. An index without
// nodes gives the empty result. Throws InternalFault on arrays that break
// the trie's invariants.
std::vector<VideoScore> fuzzy_match_video(const Trie& trie,
                                          std::string_view term,
                                          std::uint32_t max_dist,
                                          std::optional<std::size_t> limit,
                                          std::optional<bool> include_prefix_nodes,
                                          std::optional<double> min_score);

// The same, with the node matching run over `compact`, a layout derived from
// `trie` (same results, faster).
std::vector<VideoScore> fuzzy_match_video(const Trie& trie,
                                          const prefix::matcher::CompactTrie& compact,
                                          std::string_view term,
                                          std::uint32_t max_dist,
                                          std::optional<std::size_t> limit,
                                          std::optional<bool> include_prefix_nodes,
                                          std::optional<double> min_score);

// The steps of fuzzy_match_video, exposed for testing.

// Weight of a match at `distance` for a query of `n_chars` characters, or
// nullopt when the match carries no weight (d > 0 with d >= n).
std::optional<double> closeness_weight(std::uint32_t distance,
                                       std::size_t n_chars);

// Pools the payloads of `nodes` (in their order) and returns every video
// whose share of the pooled total is >= threshold, in no particular order.
// Empty when the pooled total is not above 0. Throws InternalFault for a node
// outside `terminal` or `payloads`, or a payload with fewer counts than ids.
std::vector<Candidate> score_videos(const Trie& trie,
                                    std::span<const prefix::matcher::NodeMatch> nodes,
                                    std::size_t n_chars, double threshold);

// Orders by score, highest first, then by ascending video number; with a
// limit keeps exactly the first `limit` of that order.
void cut_and_order(std::vector<Candidate>& candidates,
                   std::optional<std::size_t> limit);

// Renders each candidate's video number as its external key, in order,
// dropping numbers outside the id table that `id_mode` selects.
std::vector<VideoScore> render_keys(const Trie& trie,
                                    std::span<const Candidate> ordered);

// Number of characters (Unicode scalar values) in valid UTF-8 text.
std::size_t utf8_length(std::string_view text);

}  // namespace tessaloom::ranking
