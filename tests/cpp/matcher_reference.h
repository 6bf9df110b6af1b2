// Test-only helpers for the matcher: tries built from term lists or explicit
// node tables, random tries, and a brute-force reference that walks every
// node naively and computes each term's edit distance with the full table.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "prefix/matcher/matcher.h"
#include "prefix/matcher/text.h"
#include "prefix/trie/trie.h"

namespace tessaloom::prefix::matcher::testing {

inline std::u32string u32(std::string_view utf8) {
  const auto v = decode_utf8(utf8);
  return {v.begin(), v.end()};
}

inline std::string utf8(const std::u32string& s) {
  std::string out;
  encode_utf8(s, out);
  return out;
}

// One node of an explicit table: its label, terminal flag and children (node
// numbers, in edge order).
struct TestNode {
  char32_t label;
  bool terminal;
  std::vector<std::uint32_t> children;
};

// Lays out the table as the index's arrays, edges in node order.
inline Trie trie_from_nodes(const std::vector<TestNode>& nodes) {
  Trie t;
  for (const TestNode& node : nodes) {
    t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_transitions.size()));
    t.child_labels.push_back(node.label);
    t.terminal.push_back(node.terminal ? 1 : 0);
    for (std::uint32_t c : node.children) t.child_transitions.push_back(c);
  }
  return t;
}

// A trie of `terms`, numbered breadth-first; children in code-point order,
// or in reverse order when `reverse` is set.
inline Trie trie_from_terms(const std::vector<std::u32string>& terms,
                            bool reverse = false) {
  struct Building {
    std::map<char32_t, std::size_t> children;
    bool terminal = false;
  };
  std::vector<Building> tree(1);
  for (const auto& term : terms) {
    std::size_t at = 0;
    for (char32_t ch : term) {
      auto it = tree[at].children.find(ch);
      if (it == tree[at].children.end()) {
        tree.emplace_back();
        it = tree[at].children.emplace(ch, tree.size() - 1).first;
      }
      at = it->second;
    }
    tree[at].terminal = true;
  }
  // Breadth-first renumbering.
  std::vector<TestNode> nodes;
  std::vector<std::size_t> order{0};
  std::vector<char32_t> labels{0};
  for (std::size_t i = 0; i < order.size(); ++i) {
    std::vector<std::pair<char32_t, std::size_t>> kids(
        tree[order[i]].children.begin(), tree[order[i]].children.end());
    if (reverse) std::reverse(kids.begin(), kids.end());
    TestNode node{labels[i], tree[order[i]].terminal, {}};
    for (const auto& [ch, old] : kids) {
      node.children.push_back(static_cast<std::uint32_t>(order.size()));
      order.push_back(old);
      labels.push_back(ch);
    }
    nodes.push_back(std::move(node));
  }
  return trie_from_nodes(nodes);
}

inline std::size_t edit_distance(const std::u32string& a,
                                 const std::u32string& b) {
  std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      cur[j] = std::min({prev[j - 1] + (a[i - 1] != b[j - 1] ? 1u : 0u),
                         prev[j] + 1, cur[j - 1] + 1});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

// Every node below the root in pre-order, siblings in edge order, U+0000
// subtrees left out, with the term it spells. Recursive and unbounded: for
// small acyclic tries only.
inline void all_terms(const Trie& t, std::size_t node, std::u32string& path,
                      std::vector<std::pair<std::size_t, std::u32string>>& out) {
  const std::size_t begin = t.node_shifts[node];
  const std::size_t end = node + 1 < t.node_shifts.size()
                              ? t.node_shifts[node + 1]
                              : t.child_transitions.size();
  for (std::size_t e = begin; e < end; ++e) {
    const std::size_t c = t.child_transitions[e];
    if (t.child_labels[c] == 0) continue;
    path.push_back(t.child_labels[c]);
    out.emplace_back(c, path);
    all_terms(t, c, path, out);
    path.pop_back();
  }
}

inline std::vector<MatchResult> reference_match(
    const Trie& t, const std::u32string& q, std::size_t max_dist,
    std::size_t limit = SIZE_MAX) {
  std::vector<std::pair<std::size_t, std::u32string>> nodes;
  std::u32string path;
  if (t.node_count() > 0) all_terms(t, 0, path, nodes);
  std::vector<MatchResult> out;
  for (const auto& [node, term] : nodes) {
    if (out.size() >= limit) break;
    if (!t.terminal[node]) continue;
    const std::size_t d = edit_distance(term, q);
    if (d <= max_dist) {
      out.push_back({utf8(term), node, static_cast<std::uint32_t>(d)});
    }
  }
  return out;
}

inline std::vector<NodeMatch> reference_nodes(const Trie& t,
                                              const std::u32string& q,
                                              std::size_t max_dist,
                                              bool terminal_only) {
  std::vector<std::pair<std::size_t, std::u32string>> nodes;
  std::u32string path;
  if (t.node_count() > 0) all_terms(t, 0, path, nodes);
  std::vector<NodeMatch> out;
  for (const auto& [node, term] : nodes) {
    if (terminal_only && !t.terminal[node]) continue;
    const std::size_t d = edit_distance(term, q);
    if (d <= max_dist) out.push_back({node, static_cast<std::uint32_t>(d)});
  }
  return out;
}

// A random tree over `alphabet` (U+0000 among them gives skipped subtrees):
// random fan-out, random labels (repeats among siblings allowed), random
// terminal flags, and, when `shuffle` is set, nodes numbered in a random
// order rather than breadth-first (so children are neither contiguous nor
// numbered above their parent).
inline Trie random_trie(std::mt19937& rng, const std::u32string& alphabet,
                        std::size_t max_nodes, std::size_t max_fanout,
                        bool shuffle) {
  std::vector<TestNode> nodes{{0, false, {}}};
  std::vector<std::size_t> depth{0};
  for (std::size_t i = 0; i < nodes.size() && nodes.size() < max_nodes; ++i) {
    const std::size_t fan =
        std::uniform_int_distribution<std::size_t>(0, max_fanout)(rng);
    for (std::size_t f = 0; f < fan && nodes.size() < max_nodes; ++f) {
      const char32_t ch = alphabet[std::uniform_int_distribution<std::size_t>(
          0, alphabet.size() - 1)(rng)];
      nodes[i].children.push_back(static_cast<std::uint32_t>(nodes.size()));
      nodes.push_back({ch, rng() % 3 != 0, {}});
      depth.push_back(depth[i] + 1);
    }
  }
  if (shuffle) {
    // perm[old] = new; the root stays node 0.
    std::vector<std::uint32_t> perm(nodes.size());
    for (std::size_t i = 0; i < perm.size(); ++i) perm[i] = static_cast<std::uint32_t>(i);
    std::shuffle(perm.begin() + 1, perm.end(), rng);
    std::vector<TestNode> moved(nodes.size());
    for (std::size_t old = 0; old < nodes.size(); ++old) {
      TestNode node = nodes[old];
      for (auto& c : node.children) c = perm[c];
      moved[perm[old]] = std::move(node);
    }
    nodes = std::move(moved);
  }
  return trie_from_nodes(nodes);
}

inline std::u32string random_query(std::mt19937& rng,
                                   const std::u32string& alphabet,
                                   std::size_t max_len) {
  std::u32string q;
  const std::size_t len =
      std::uniform_int_distribution<std::size_t>(0, max_len)(rng);
  for (std::size_t i = 0; i < len; ++i) {
    q.push_back(alphabet[rng() % alphabet.size()]);
  }
  return q;
}

}  // namespace tessaloom::prefix::matcher::testing
