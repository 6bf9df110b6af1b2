// Fuzz target: the decoder of saved indexes, which is exactly what a
// corrupted file or an attacker hands to a long-running process.
//
// Any input must either be refused with a DecodeError or load; a loaded
// trie must save to bytes that load into an equal trie and save the same
// again. The payloads, which loading checks in bulk, must load exactly as
// reading them value by value does, or fail with the same error. Queries on the loaded (possibly
// inconsistent) trie must answer or stop with InternalFault, the same over the derived compact
// layout as over the arrays, search's transposition walk included. Sanitizers catch any read
// outside an array.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/fault.h"
#include "index/index.h"
#include "prefix/trie/trie_format.h"
#include "search/osa_walk.h"
#include "../tests/cpp/reference_payloads.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "decode_fuzz: %s\n", what);
  std::abort();
}

// Runs f, reporting whether it stopped with InternalFault (an inconsistent
// index: the query stops and nothing is read outside an array).
template <class F>
auto attempt(F&& f) -> std::optional<decltype(f())> {
  try {
    return f();
  } catch (const tessaloom::common::InternalFault&) {
    return std::nullopt;
  }
}

// Queries ask for at most 64 terms and 5 videos, or, with the environment
// variable TESSALOOM_FUZZ_UNLIMITED set (the second run of scripts/fuzz.sh,
// on inputs up to 128 KiB), for every match: then only the walk's bounds on
// its work and memory stop a query over hostile arrays.
struct Limits {
  std::optional<std::size_t> terms = 64, videos = 5;
};
const Limits& limits() {
  static const Limits l =
      std::getenv("TESSALOOM_FUZZ_UNLIMITED") ? Limits{std::nullopt, std::nullopt} : Limits{};
  return l;
}

// Queries on the loaded (possibly inconsistent) trie answer or stop with
// InternalFault; the compact walk answers exactly as the array walk does.
void query(const tessaloom::prefix::trie::Trie& trie) {
  using tessaloom::index::Index;
  const Index fast(trie), arrays(trie, Index::Walk::Arrays);
  const Limits& l = limits();
  const std::string long_term(70, 'a');
  // ASCII queries let the compact walk look children up by their label
  // bytes where no edit is left; the others make it scan every child.
  for (const char* term : {"", "a", "ba", "ab\xC3\xA9", "\xF0\x9F\x98\x80", long_term.c_str()}) {
    // Every distance the compact walk serves, and one beyond them that only
    // the array walk takes.
    for (std::uint32_t k : {0u, 1u, 2u, 3u, 5u}) {
      const auto plain = attempt([&] { return arrays.fuzzy_match(term, k, l.terms); });
      if (plain != attempt([&] { return fast.fuzzy_match(term, k, l.terms); })) {
        fail("compact walk differs from the array walk");
      }
      const auto nodes = attempt([&] { return arrays.fuzzy_match_nodes(term, k, false); });
      if (nodes != attempt([&] { return fast.fuzzy_match_nodes(term, k, false); })) {
        fail("compact node walk differs from the array walk");
      }
      (void)attempt(
          [&] { return fast.fuzzy_match_video(term, k, l.videos, std::nullopt, std::nullopt); });
      // Search's walk, with transpositions, up to its largest distance.
      if (k > tessaloom::search::kMaxWalkDist) continue;
      const std::vector<char32_t> word = tessaloom::common::decode_utf8(term);
      for (bool term_ends_only : {false, true}) {
        auto search_walk = [&](const Index& index) {
          std::vector<tessaloom::prefix::matcher::NodeMatch> out;
          tessaloom::common::MemoryBudget budget;
          tessaloom::search::walk_word(trie.arrays(), index.layout(), word, k, true, term_ends_only,
                                       budget, [&](const auto& r) {
                                         out.push_back({r.node, r.distance});
                                         return false;
                                       });
          return out;
        };
        if (attempt([&] { return search_walk(arrays); }) !=
            attempt([&] { return search_walk(fast); })) {
          fail("compact transposition walk differs from the arrays' walk");
        }
      }
    }
  }
}

// The first three fields, then the payloads read value by value.
std::vector<std::optional<tessaloom::payload::Payload>> reference_payloads(
    std::span<const std::uint8_t> bytes) {
  tessaloom::format::Reader r(bytes);
  tessaloom::common::PodArray<std::uint32_t> u32s;
  tessaloom::common::PodArray<char32_t> chars;
  r.read_u32s(u32s, r.read_len());
  r.read_chars(chars, r.read_len());
  r.read_u32s(u32s, r.read_len());
  return tessaloom::test::read_payloads(r);
}

// The value f returns, or the text of the decode error it throws.
template <class F>
auto attempt_decode(F f) -> std::pair<std::optional<decltype(f())>, std::string> {
  try {
    return {f(), ""};
  } catch (const tessaloom::format::DecodeError& e) {
    if (e.text().empty()) fail("empty error text");
    return {std::nullopt, e.text()};
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const auto [decoded, error] =
      attempt_decode([&] { return tessaloom::prefix::trie::decode_trie(input); });
  const auto [reference, reference_error] =
      attempt_decode([&] { return reference_payloads(input); });
  if (!reference) {
    if (decoded || error != reference_error) fail("payload error differs");
  } else if (decoded) {
    const tessaloom::payload::EncodedPayloads& got = decoded->payloads;
    if (got.size() != reference->size()) fail("payload count differs");
    for (std::size_t i = 0; i < got.size(); ++i)
      if (got.payload(i) != (*reference)[i]) fail("payloads differ from reading value by value");
  }
  if (!decoded) return 0;
  const tessaloom::prefix::trie::Trie& trie = *decoded;
  const auto saved = tessaloom::prefix::trie::encode_trie(trie);
  if (saved.size() != tessaloom::prefix::trie::encoded_size(trie)) fail("size count differs");
  if (saved.size() > size) fail("saved form longer than its longest reading");
  const auto [again, again_error] =
      attempt_decode([&] { return tessaloom::prefix::trie::decode_trie(saved); });
  if (!again) fail("saved bytes do not load");
  if (!(*again == trie)) fail("reloaded trie differs");
  if (tessaloom::prefix::trie::encode_trie(*again) != saved) fail("second save differs");
  query(trie);
  return 0;
}
