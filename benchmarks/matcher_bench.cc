// The edit-distance walk on the word-list index: nodes visited per query
// under the exact row-minimum prune, and time per visited node and per query
// of the straightforward walk (recursive, one full 16-bit row per node, kept
// here as the baseline), of the array walk and of the compact walk, with the
// ratios, for max_dist 1 and 2. For the compact walk it also counts, per
// query, the children it scanned one by one, those it compared 16 label
// bytes at a time under parents with no edit left (and how many of them it
// found), and the survivors whose children it did not even locate, with the
// time per child touched; and its times per query when other work has run
// between queries.
//
// Environment: TESSALOOM_BENCH_WORDS names the word list (default Debian's
// american-english-insane); TESSALOOM_BENCH_WORD_LIMIT keeps only its first
// N words, so that CI can run the benchmark once quickly;
// TESSALOOM_BENCH_EVICT_MB sets the other work between queries (default 2
// MiB written and read).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/text.h"
#include "index/index.h"
#include "prefix/matcher/compact_layout.h"
#include "prefix/matcher/compact_walk.h"
#include "prefix/trie/trie.h"

namespace {

using tessaloom::common::decode_utf8;
using tessaloom::common::encode_utf8;
using tessaloom::index::Index;
using tessaloom::prefix::matcher::CompactLayout;
using tessaloom::prefix::matcher::MatchResult;
using tessaloom::prefix::trie::Trie;
namespace matcher = tessaloom::prefix::matcher;

constexpr std::size_t kQueries = 400;
constexpr std::uint32_t kSeed = 20240611;

std::vector<std::u32string> read_words() {
  const char* path = std::getenv("TESSALOOM_BENCH_WORDS");
  if (path == nullptr) path = "/usr/share/dict/american-english-insane";
  const char* limit_text = std::getenv("TESSALOOM_BENCH_WORD_LIMIT");
  const std::size_t limit = limit_text ? std::strtoull(limit_text, nullptr, 10) : SIZE_MAX;
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "cannot read the word list %s\n", path);
    std::exit(1);
  }
  std::vector<std::u32string> words;
  std::string line;
  while (words.size() < limit && std::getline(in, line)) {
    if (line.empty()) continue;
    const auto cps = decode_utf8(line);
    words.emplace_back(cps.begin(), cps.end());
  }
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

// The trie of the sorted distinct words, numbered breadth-first with
// children in code-point order: each node is a range of words sharing its
// prefix.
Trie build_trie(const std::vector<std::u32string>& words) {
  struct Span {
    std::size_t lo, hi, depth;
  };
  Trie t;
  std::vector<Span> queue{{0, words.size(), 0}};
  t.child_labels.push_back(0);
  for (std::size_t i = 0; i < queue.size(); ++i) {
    auto [lo, hi, depth] = queue[i];
    t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_transitions.size()));
    const bool terminal = lo < hi && words[lo].size() == depth;
    t.terminal.push_back(terminal ? 1 : 0);
    if (terminal) ++lo;
    while (lo < hi) {
      const char32_t ch = words[lo][depth];
      std::size_t end = lo;
      while (end < hi && words[end][depth] == ch) ++end;
      t.child_transitions.push_back(static_cast<std::uint32_t>(queue.size()));
      t.child_labels.push_back(ch);
      queue.push_back({lo, end, depth + 1});
      lo = end;
    }
  }
  return t;
}

// Random words with one random edit: substitute, insert or delete one letter
// a-z.
std::vector<std::string> make_queries(const std::vector<std::u32string>& words) {
  std::mt19937 rng(kSeed);
  std::vector<std::string> out;
  while (out.size() < kQueries) {
    std::u32string w = words[rng() % words.size()];
    const char32_t letter = U'a' + rng() % 26;
    switch (rng() % 3) {
      case 0:
        w[rng() % w.size()] = letter;
        break;
      case 1:
        w.insert(w.begin() + rng() % (w.size() + 1), letter);
        break;
      default:
        w.erase(w.begin() + rng() % w.size());
        break;
    }
    if (w.empty() || w.size() > 64) continue;
    std::string q;
    encode_utf8(w, q);
    out.push_back(std::move(q));
  }
  return out;
}

// The straightforward walk: recursive, one full row of n+1 16-bit cells per
// node, rows reused per depth, prune on the row minimum.
struct Baseline {
  const Trie& t;
  std::vector<char32_t> q;
  std::uint32_t k;
  std::vector<std::vector<std::uint16_t>> rows;
  std::vector<char32_t> path;
  std::vector<MatchResult>* out;
  std::size_t visited = 0;

  void visit(std::size_t node, std::size_t depth) {
    const std::size_t begin = t.node_shifts[node];
    const std::size_t end =
        node + 1 < t.node_shifts.size() ? t.node_shifts[node + 1] : t.child_transitions.size();
    if (end <= begin) return;
    if (rows.size() < depth + 2) rows.emplace_back(q.size() + 1);
    const std::uint16_t* prev = rows[depth].data();
    std::uint16_t* cur = rows[depth + 1].data();
    for (std::size_t e = begin; e < end; ++e) {
      const std::size_t c = t.child_transitions[e];
      const char32_t ch = t.child_labels[c];
      if (ch == 0) continue;
      ++visited;
      cur[0] = static_cast<std::uint16_t>(depth + 1);
      std::uint16_t row_min = cur[0];
      for (std::size_t j = 1; j <= q.size(); ++j) {
        const std::uint16_t v = std::min<std::uint16_t>(
            {static_cast<std::uint16_t>(prev[j - 1] + (q[j - 1] != ch)),
             static_cast<std::uint16_t>(prev[j] + 1), static_cast<std::uint16_t>(cur[j - 1] + 1)});
        cur[j] = v;
        row_min = std::min(row_min, v);
      }
      if (row_min > k) continue;
      path.push_back(ch);
      if (cur[q.size()] <= k && t.terminal[c]) {
        MatchResult& r = out->emplace_back();
        encode_utf8(path, r.term);
        r.node = c;
        r.distance = cur[q.size()];
      }
      visit(c, depth + 1);
      path.pop_back();
      cur = rows[depth + 1].data();  // rows may have grown
      prev = rows[depth].data();
    }
  }
};

std::vector<MatchResult> baseline_match(const Trie& t, const std::string& query, std::uint32_t k,
                                        std::size_t* visited = nullptr) {
  std::vector<MatchResult> out;
  Baseline b{t, decode_utf8(query), k, {}, {}, &out};
  b.rows.emplace_back(b.q.size() + 1);
  for (std::size_t j = 0; j <= b.q.size(); ++j) b.rows[0][j] = static_cast<std::uint16_t>(j);
  b.visit(0, 0);
  if (visited) *visited = b.visited;
  return out;
}

struct Fixture {
  Trie trie;
  CompactLayout compact;
  Index fast, arrays;  // the compact walk where it serves; the array walk
  std::vector<std::string> queries;
  double compact_build_ms = 0;
  std::map<std::uint32_t, double> nodes_per_query;              // by max_dist
  std::map<std::uint32_t, matcher::CompactWalkCounts> touched;  // summed over the queries
};

Fixture& fixture() {
  static Fixture* f = [] {
    auto* f = new Fixture;
    const auto words = read_words();
    f->trie = build_trie(words);
    const auto start = std::chrono::steady_clock::now();
    f->compact = CompactLayout(f->trie.arrays());
    f->compact_build_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    f->fast = Index(f->trie);
    f->arrays = Index(f->trie, Index::Walk::Arrays);
    f->queries = make_queries(words);
    for (std::uint32_t k : {1u, 2u}) {
      std::size_t visited = 0;
      for (const auto& q : f->queries) {
        std::size_t v = 0;
        const auto expected = baseline_match(f->trie, q, k, &v);
        visited += v;
        if (f->fast.fuzzy_match(q, k, {}) != expected ||
            f->arrays.fuzzy_match(q, k, {}) != expected) {
          std::fprintf(stderr, "results differ for %s at %u\n", q.c_str(), k);
          std::exit(1);
        }
      }
      f->nodes_per_query[k] = double(visited) / f->queries.size();
    }
    for (std::uint32_t k : {1u, 2u, 3u}) {
      if (!f->compact.usable()) break;
      for (const auto& q : f->queries) {
        const auto cps = decode_utf8(q);
        if (cps.size() > matcher::kCompactMaxQuery) continue;
        matcher::compact_walk<false, true>(
            f->compact, f->trie.arrays(), cps, k, false, false,
            [](const matcher::Reached&) { return false; }, &f->touched[k]);
      }
    }
    std::printf(
        "word-list index: %zu nodes, %zu queries; compact layout built in "
        "%.1f ms (usable: %s)\n",
        f->trie.node_count(), f->queries.size(), f->compact_build_ms,
        f->compact.usable() ? "yes" : "no");
    return f;
  }();
  return *f;
}

enum Walk { kBaseline, kArrays, kCompact };
const char* const kWalkNames[] = {"baseline (recursive, full 16-bit rows)",
                                  "array walk (banded rows)", "compact walk (automaton)"};

std::size_t run_query(Walk walk, const Fixture& f, const std::string& q, std::uint32_t k) {
  switch (walk) {
    case kBaseline:
      return baseline_match(f.trie, q, k).size();
    case kArrays:
      return f.arrays.fuzzy_match(q, k, {}).size();
    default:
      return f.fast.fuzzy_match(q, k, {}).size();
  }
}

// Mean nanoseconds per query, by walk and max_dist, for the summary.
std::map<std::pair<int, std::uint32_t>, double> g_ns_per_query;

void BM_Walk(benchmark::State& state) {
  const Walk walk = static_cast<Walk>(state.range(0));
  const auto k = static_cast<std::uint32_t>(state.range(1));
  const Fixture& f = fixture();
  std::size_t queries = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    for (const auto& q : f.queries) benchmark::DoNotOptimize(run_query(walk, f, q, k));
    queries += f.queries.size();
  }
  const double ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  const double per_query = ns / queries;
  const double nodes = f.nodes_per_query.at(k);
  g_ns_per_query[{walk, k}] = per_query;
  state.counters["nodes/query"] = nodes;
  state.counters["ns/node"] = per_query / nodes;
  state.counters["us/query"] = per_query / 1000;
  state.SetLabel(kWalkNames[walk]);
}
BENCHMARK(BM_Walk)
    ->ArgsProduct({{kBaseline, kArrays, kCompact}, {1, 2}})
    ->Unit(benchmark::kMillisecond);

// Median and 99th percentile of single-query times of one walk.
std::pair<double, double> percentiles(Walk walk, std::uint32_t k) {
  const Fixture& f = fixture();
  std::vector<double> us;
  for (const auto& q : f.queries) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(run_query(walk, f, q, k));
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

// The compact walk's single-query times when other work has run between
// queries: before each query a buffer of TESSALOOM_BENCH_EVICT_MB MiB
// (default 2) is written and read, which pushes the layout out of the
// private caches, as a busy server's other work does. Best of three rounds
// per query; median, 99th percentile and mean, in microseconds.
std::size_t evict_bytes() {
  const char* mb = std::getenv("TESSALOOM_BENCH_EVICT_MB");
  return (mb ? std::strtoull(mb, nullptr, 10) : 2) << 20;
}

struct ColdTimes {
  double p50, p99, mean;
};
std::map<std::uint32_t, ColdTimes> g_cold;  // by max_dist

ColdTimes cold_times(std::uint32_t k) {
  const Fixture& f = fixture();
  static std::vector<std::uint64_t> evict(evict_bytes() / 8, 1);
  std::vector<double> best(f.queries.size(), 1e300);
  std::uint64_t sink = 0;
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < f.queries.size(); ++i) {
      for (auto& x : evict) sink += x++;
      const auto start = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(run_query(kCompact, f, f.queries[i], k));
      best[i] = std::min(best[i], std::chrono::duration<double, std::micro>(
                                      std::chrono::steady_clock::now() - start)
                                      .count());
    }
  }
  benchmark::DoNotOptimize(sink);
  double sum = 0;
  for (double t : best) sum += t;
  std::sort(best.begin(), best.end());
  return {best[best.size() / 2], best[best.size() * 99 / 100], sum / best.size()};
}

void print_cold() {
  std::printf(
      "\ncompact walk after other work (%zu MiB written and read before each query), "
      "best of 3 rounds per query\n%-4s %9s %9s %9s\n",
      evict_bytes() >> 20, "d", "p50 us", "p99 us", "mean us");
  for (std::uint32_t k : {1u, 2u}) {
    const ColdTimes t = g_cold[k] = cold_times(k);
    std::printf("%-4u %9.2f %9.2f %9.2f\n", k, t.p50, t.p99, t.mean);
  }
}

// Per query: survivors visited; children scanned one by one (where an edit
// is left), compared 16 label bytes at a time (where none is) and found so;
// survivors with no edit left whose children were not located (no live cell
// inside the query, or ruled out by the signature), located, and located in
// vain; children touched (scanned plus compared), and the time per touch,
// warm (queries back to back) and after other work.
void print_touches() {
  const Fixture& f = fixture();
  const double nq = double(f.queries.size());
  std::printf("\ncompact walk, per query\n%-4s %8s %8s %10s %7s %12s %9s %8s %9s %8s %12s %12s\n",
              "d", "visited", "scanned", "looked up", "found", "no live cell", "filtered",
              "located", "in vain", "touched", "ns/touch", "cold ns/touch");
  for (const auto& [k, c] : f.touched) {
    const double touched = (c.scanned + c.looked_up) / nq;
    std::printf("%-4u %8.0f %8.0f %10.0f %7.0f %12.0f %9.0f %8.0f %9.0f %8.0f", k, c.visited / nq,
                c.scanned / nq, c.looked_up / nq, c.found / nq, c.skipped / nq, c.filtered / nq,
                c.located / nq, c.located_in_vain / nq, touched);
    const auto it = g_ns_per_query.find({kCompact, k});
    if (it != g_ns_per_query.end()) {
      std::printf(" %12.2f", it->second / touched);
    } else {
      std::printf(" %12s", "-");
    }
    const auto cold = g_cold.find(k);
    if (cold != g_cold.end()) {
      std::printf(" %12.2f\n", cold->second.mean * 1000 / touched);
    } else {
      std::printf(" %12s\n", "-");
    }
  }
}

void print_summary() {
  const Fixture& f = fixture();
  std::printf("\n%-4s %-12s %-42s %10s %11s %9s %9s %9s\n", "d", "nodes/query", "walk", "ns/node",
              "us/query", "p50 us", "p99 us", "speedup");
  for (std::uint32_t k : {1u, 2u}) {
    const double nodes = f.nodes_per_query.at(k);
    const auto base = g_ns_per_query.find({kBaseline, k});
    for (int w = kBaseline; w <= kCompact; ++w) {
      const auto it = g_ns_per_query.find({w, k});
      if (it == g_ns_per_query.end()) continue;
      const auto [p50, p99] = percentiles(static_cast<Walk>(w), k);
      std::printf("%-4u %-12.0f %-42s %10.2f %11.2f %9.2f %9.2f %8.2fx\n", k, nodes, kWalkNames[w],
                  it->second / nodes, it->second / 1000, p50, p99,
                  base == g_ns_per_query.end() ? 0.0 : base->second / it->second);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  fixture();
  benchmark::RunSpecifiedBenchmarks();
  print_summary();
  print_cold();
  print_touches();
  benchmark::Shutdown();
  return 0;
}
