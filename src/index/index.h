// The index value: one Trie and the compact layout derived from it, which
// the fast walk reads. It is built once (from arrays, see construct.h, or
// from saved bytes) and read-only after; the layout is private to it, so the
// walks always read a layout that belongs to the trie beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "prefix/matcher/compact_layout.h"
#include "prefix/matcher/matcher.h"
#include "prefix/trie/trie.h"
#include "ranking/ranking.h"
#include "search/search.h"

namespace tessaloom::index {

using prefix::matcher::MatchResult;
using prefix::matcher::NodeMatch;
using ranking::VideoScore;

class Index {
 public:
  // Which walk queries take: the compact walk wherever it serves, or always
  // the array walk (to compare the two; the results are the same).
  enum class Walk : bool { Fast, Arrays };

  Index() = default;
  // Takes the trie and derives its layout (linear in the nodes, a few
  // milliseconds per million). Throws only std::bad_alloc.
  explicit Index(prefix::trie::Trie trie, Walk walk = Walk::Fast);

  const prefix::trie::Trie& trie() const { return trie_; }
  // The compact layout of trie(), empty when it is not a clean tree.
  const prefix::matcher::CompactLayout& layout() const { return layout_; }
  // What search needs of the videos' lengths, read once here (empty when the
  // root's payload is unreadable; search then meets the fault itself).
  const search::VideoNorms& video_norms() const { return norms_; }

  // The queries take `term` as UTF-8 and throw InvalidInput when it is not.
  // They throw InternalFault on arrays that break the trie's invariants where
  // a walk meets them, and QueryTooLarge when a walk's rows and reported
  // terms would need more than MemoryBudget::kQueryBytes.

  // Terms within max_dist of `term`, in walk order; with a limit, the first
  // `limit` of them.
  std::vector<MatchResult> fuzzy_match(std::string_view term, std::uint32_t max_dist,
                                       std::optional<std::size_t> limit) const;

  // Nodes within max_dist of `term`; with terminal_only, term ends only.
  std::vector<NodeMatch> fuzzy_match_nodes(std::string_view term, std::uint32_t max_dist,
                                           bool terminal_only) const;

  // The videos best matching `term` (see ranking::rank_videos). The nodes
  // pooled are the term ends within max_dist, or every such node when no
  // term end matches; include_prefix_nodes true takes every node, false
  // term ends only. An index without nodes gives the empty result.
  std::vector<VideoScore> fuzzy_match_video(std::string_view term, std::uint32_t max_dist,
                                            std::optional<std::size_t> limit,
                                            std::optional<bool> include_prefix_nodes,
                                            std::optional<double> min_score) const;

 private:
  prefix::trie::Trie trie_;
  prefix::matcher::CompactLayout layout_;  // empty: the array walk only
  search::VideoNorms norms_;
};

}  // namespace tessaloom::index
