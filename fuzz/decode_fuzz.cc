// Fuzz target: the decoder of saved indexes, which is exactly what a
// corrupted file or an attacker hands to a long-running process.
//
// Any input must either be refused with a DecodeError or load; a loaded
// trie must save to bytes that load into an equal trie and save the same
// again. With the matcher built in, queries on the loaded (possibly
// inconsistent) trie must answer or stop with InternalFault. Sanitizers
// catch any read outside an array.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "common/fault.h"
#include "prefix/trie/trie_format.h"
#ifdef TESSALOOM_FUZZ_MATCHER
#include "prefix/matcher/matcher.h"
#endif

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "decode_fuzz: %s\n", what);
  std::abort();
}

#ifdef TESSALOOM_FUZZ_MATCHER
void query(const tessaloom::Trie& trie) {
  using tessaloom::prefix::matcher::fuzzy_match;
  using tessaloom::prefix::matcher::fuzzy_match_nodes;
  for (const char* term : {"", "a", "ab\xC3\xA9", "\xF0\x9F\x98\x80"}) {
    try {
      (void)fuzzy_match(trie, term, 1, 64);
      (void)fuzzy_match_nodes(trie, term, 1, false);
    } catch (const tessaloom::InternalFault&) {
      // An inconsistent index: the query stops, nothing is read outside.
    }
  }
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto decoded = tessaloom::decode_trie(std::span(data, size));
  if (!decoded) {
    if (decoded.error().text().empty()) fail("empty error text");
    return 0;
  }
  const tessaloom::Trie& trie = decoded.value();
  const auto saved = tessaloom::encode_trie(trie);
  if (saved.size() != tessaloom::encoded_size(trie)) fail("size count differs");
  if (saved.size() > size) fail("saved form longer than its longest reading");
  auto again = tessaloom::decode_trie(saved);
  if (!again) fail("saved bytes do not load");
  if (!(again.value() == trie)) fail("reloaded trie differs");
  if (tessaloom::encode_trie(again.value()) != saved) fail("second save differs");
#ifdef TESSALOOM_FUZZ_MATCHER
  query(trie);
#endif
  return 0;
}
