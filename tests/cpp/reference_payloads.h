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

inline std::vector<std::optional<Payload>> read_payloads(format::Reader& r) {
  std::vector<std::optional<Payload>> out;
  // Each payload takes at least a byte: a hostile count ends with the input.
  for (std::uint64_t n = r.read_len(); n > 0; --n) {
    if (!r.read_option_tag(format::kOptionPayloadTypeName)) {
      out.emplace_back();
      continue;
    }
    Payload p;
    p.total_count = r.read_u32();
    r.read_u32s(p.video_ids, r.read_len());
    r.read_u32s(p.video_counts, r.read_len());
    out.push_back(std::move(p));
  }
  return out;
}

}  // namespace tessaloom::test
