// The plain reference reader of a saved vector of optional payloads, value
// by value through format::Reader, for the differential tests and the decode
// fuzzer: loading must accept exactly what this accepts, fail with the same
// error at the same place, and hold the same payloads.
#pragma once

#include <optional>
#include <vector>

#include "format/format.h"
#include "payload/payload.h"

namespace tessaloom::test {

inline std::vector<std::optional<payload::Payload>> read_payloads(format::Reader& r) {
  std::vector<std::optional<payload::Payload>> out;
  // Each payload takes at least a byte: a hostile count ends with the input.
  for (std::uint64_t n = r.read_len(); n > 0; --n) {
    if (!r.read_option_tag(format::kOptionPayloadTypeName)) {
      out.emplace_back();
      continue;
    }
    payload::Payload p;
    p.total_count = r.read_u32();
    for (auto* list : {&p.video_ids, &p.video_counts})
      for (std::uint64_t k = r.read_len(); k > 0; --k) list->push_back(r.read_u32());
    out.push_back(std::move(p));
  }
  return out;
}

}  // namespace tessaloom::test
