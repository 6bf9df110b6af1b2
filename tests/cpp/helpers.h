// Shared test helpers: tries from node tables or term lists, random tries,
// and the brute-force matcher reference (every node walked naively, each
// term's distance from the full table).
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/fault.h"
#include "format/format.h"
#include "prefix/matcher/matcher.h"
#include "common/text.h"
#include "prefix/trie/trie.h"

namespace tessaloom::test {

// What a call gives, as text: its result through render, or the core error
// it throws: a decode error's text, or "fault" for an internal fault.
template <class F, class Render>
std::string outcome(F&& f, Render&& render) {
  try {
    return render(f());
  } catch (const format::DecodeError& e) {
    return e.text();
  } catch (const common::InternalFault&) {
    return "fault";
  }
}

inline std::u32string u32(std::string_view s) {
  const auto v = common::decode_utf8(s);
  return {v.begin(), v.end()};
}
inline std::string utf8(const std::u32string& s) {
  std::string out;
  common::encode_utf8(s, out);
  return out;
}

// One node: label, terminal flag, children (node numbers in edge order).
struct TestNode {
  char32_t label;
  bool terminal;
  std::vector<std::uint32_t> children;
};

inline prefix::trie::Trie trie_from_nodes(const std::vector<TestNode>& nodes) {
  prefix::trie::Trie t;
  for (const TestNode& n : nodes) {
    t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_transitions.size()));
    t.child_labels.push_back(n.label);
    t.terminal.push_back(n.terminal);
    t.child_transitions.append(n.children.data(), n.children.size());
  }
  return t;
}

inline payload::PayloadTable payload_table(const std::vector<std::optional<payload::Payload>>& ps) {
  payload::PayloadTable table;
  for (const auto& p : ps) p ? table.push(p->view()) : table.push_absent();
  return table;
}

// Sets t's payloads as loading their saved form would (ids and counts may
// differ in length, as only a restored index can have them).
inline void set_payloads(prefix::trie::Trie& t,
                         const std::vector<std::optional<payload::Payload>>& ps) {
  std::size_t size = format::varint_size(ps.size());
  for (const auto& p : ps)
    size += 1 + (p ? format::u32_size(p->total_count) + format::u32s_size(p->video_ids) +
                         format::u32s_size(p->video_counts)
                   : 0);
  std::vector<std::uint8_t> bytes(size);
  format::Writer w(bytes);
  w.write_len(ps.size());
  for (const auto& p : ps) {
    w.write_option_tag(p.has_value());
    if (p) w.write_u32(p->total_count), w.write_u32s(p->video_ids), w.write_u32s(p->video_counts);
  }
  format::Reader r(bytes);
  t.payloads = payload::EncodedPayloads::decode(r);
}

// The payloads of t, decoded.
inline std::vector<std::optional<payload::Payload>> payloads_of(const prefix::trie::Trie& t) {
  std::vector<std::optional<payload::Payload>> ps;
  for (std::size_t i = 0; i < t.payloads.size(); ++i) ps.push_back(t.payloads.payload(i));
  return ps;
}

// A trie of `terms`, nodes numbered as first met, children in code-point
// order (reversed when `reverse`).
inline prefix::trie::Trie trie_from_terms(const std::vector<std::u32string>& terms,
                                          bool reverse = false) {
  std::vector<std::map<char32_t, std::uint32_t>> kids(1);
  std::vector<TestNode> nodes{{0, false, {}}};
  for (const auto& term : terms) {
    std::uint32_t at = 0;
    for (char32_t ch : term) {
      auto [it, fresh] = kids[at].emplace(ch, static_cast<std::uint32_t>(nodes.size()));
      if (fresh) kids.emplace_back(), nodes.push_back({ch, false, {}});
      at = it->second;
    }
    nodes[at].terminal = true;
  }
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    for (const auto& kid : kids[i]) nodes[i].children.push_back(kid.second);
    if (reverse) std::reverse(nodes[i].children.begin(), nodes[i].children.end());
  }
  return trie_from_nodes(nodes);
}

// Every node below the root within k of q, in pre-order with siblings in
// edge order, U+0000 subtrees left out, with the term it spells. Unpruned,
// one full row of the distance table per node; recursive, so small acyclic
// tries only.
struct RefNode {
  std::size_t node;
  std::u32string term;
  std::uint32_t distance;
};
inline void reference_walk(const prefix::trie::Trie& t, std::size_t node, std::u32string& path,
                           const std::vector<std::uint32_t>& row, const std::u32string& q,
                           std::uint32_t k, std::vector<RefNode>& out) {
  const std::size_t end =
      node + 1 < t.node_shifts.size() ? t.node_shifts[node + 1] : t.child_transitions.size();
  for (std::size_t e = t.node_shifts[node]; e < end; ++e) {
    const std::size_t c = t.child_transitions[e];
    if (t.child_labels[c] == 0) continue;
    path.push_back(t.child_labels[c]);
    std::vector<std::uint32_t> next{row[0] + 1};
    for (std::size_t j = 1; j <= q.size(); ++j)
      next.push_back(
          std::min({row[j - 1] + (q[j - 1] != path.back()), row[j] + 1, next[j - 1] + 1}));
    if (next.back() <= k) out.push_back({c, path, next.back()});
    reference_walk(t, c, path, next, q, k, out);
    path.pop_back();
  }
}
inline std::vector<RefNode> reference_walk(const prefix::trie::Trie& t, const std::u32string& q,
                                           std::uint32_t k) {
  std::vector<RefNode> out;
  std::u32string path;
  std::vector<std::uint32_t> row(q.size() + 1);
  for (std::size_t j = 0; j < row.size(); ++j) row[j] = static_cast<std::uint32_t>(j);
  if (t.node_count() > 0) reference_walk(t, 0, path, row, q, k, out);
  return out;
}
inline std::vector<prefix::matcher::NodeMatch> reference_nodes(const prefix::trie::Trie& t,
                                                               const std::u32string& q,
                                                               std::uint32_t k,
                                                               bool terminal_only) {
  std::vector<prefix::matcher::NodeMatch> out;
  for (const auto& r : reference_walk(t, q, k))
    if (!terminal_only || t.terminal[r.node]) out.push_back({r.node, r.distance});
  return out;
}

// A random tree over `alphabet` (U+0000 in it gives skipped subtrees):
// random fan-out, labels (repeats among siblings allowed) and terminal flags
// (the root's too); with `shuffle`, nodes numbered in random order, so
// children are neither contiguous nor numbered above their parent.
inline prefix::trie::Trie random_trie(std::mt19937& rng, const std::u32string& alphabet,
                                      std::size_t max_nodes, std::size_t max_fanout, bool shuffle) {
  std::vector<TestNode> nodes{{0, rng() % 4 == 0, {}}};
  for (std::size_t i = 0; i < nodes.size() && nodes.size() < max_nodes; ++i)
    for (std::size_t f = rng() % (max_fanout + 1); f > 0 && nodes.size() < max_nodes; --f) {
      nodes[i].children.push_back(static_cast<std::uint32_t>(nodes.size()));
      nodes.push_back({alphabet[rng() % alphabet.size()], rng() % 3 != 0, {}});
    }
  if (shuffle) {
    std::vector<std::uint32_t> perm(nodes.size());  // old -> new, the root stays 0
    for (std::size_t i = 0; i < perm.size(); ++i) perm[i] = static_cast<std::uint32_t>(i);
    std::shuffle(perm.begin() + 1, perm.end(), rng);
    std::vector<TestNode> moved(nodes.size());
    for (std::size_t old = 0; old < nodes.size(); ++old) {
      for (auto& c : nodes[old].children) c = perm[c];
      moved[perm[old]] = std::move(nodes[old]);
    }
    nodes = std::move(moved);
  }
  return trie_from_nodes(nodes);
}

inline std::u32string random_query(std::mt19937& rng, const std::u32string& alphabet,
                                   std::size_t max_len) {
  std::u32string q(rng() % (max_len + 1), U'a');
  for (auto& c : q) c = alphabet[rng() % alphabet.size()];
  return q;
}

}  // namespace tessaloom::test
