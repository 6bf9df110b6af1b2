#include "index/index.h"

#include <utility>

#include "common/text.h"

namespace tessaloom::index {

using common::decode_utf8;
using prefix::trie::Trie;

Index::Index(Trie trie, Walk walk)
    : trie_(std::move(trie)), norms_(search::VideoNorms::or_empty(trie_)) {
  if (walk == Walk::Fast) layout_ = prefix::matcher::CompactLayout(trie_.arrays());
}

std::vector<MatchResult> Index::fuzzy_match(std::string_view term, std::uint32_t max_dist,
                                            std::optional<std::size_t> limit) const {
  return prefix::matcher::fuzzy_match(trie_.arrays(), layout_, decode_utf8(term), max_dist, limit);
}

std::vector<NodeMatch> Index::fuzzy_match_nodes(std::string_view term, std::uint32_t max_dist,
                                                bool terminal_only) const {
  return prefix::matcher::fuzzy_match_nodes(trie_.arrays(), layout_, decode_utf8(term), max_dist,
                                            terminal_only);
}

std::vector<VideoScore> Index::fuzzy_match_video(std::string_view term, std::uint32_t max_dist,
                                                 std::optional<std::size_t> limit,
                                                 std::optional<bool> include_prefix_nodes,
                                                 std::optional<double> min_score) const {
  const std::vector<char32_t> q = decode_utf8(term);
  auto match_nodes = [&](bool terminal_only) {
    return prefix::matcher::fuzzy_match_nodes(trie_.arrays(), layout_, q, max_dist, terminal_only);
  };
  std::vector<NodeMatch> nodes;
  if (include_prefix_nodes) {
    nodes = match_nodes(!*include_prefix_nodes);
  } else {
    nodes = match_nodes(true);
    if (nodes.empty()) nodes = match_nodes(false);
  }
  return ranking::rank_videos(trie_, nodes, q.size(), limit, min_score);
}

}  // namespace tessaloom::index
