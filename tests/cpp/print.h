// Readable gtest output for the core's value types.
#pragma once

#include <ostream>
#include <vector>

#include "payload/payload.h"

namespace tessaloom {

inline void PrintTo(const Payload& p, std::ostream* os) {
  *os << "{" << p.total_count << ", [";
  for (std::size_t i = 0; i < p.video_ids.size(); ++i)
    *os << (i ? " " : "") << p.video_ids[i];
  *os << "], [";
  for (std::size_t i = 0; i < p.video_counts.size(); ++i)
    *os << (i ? " " : "") << p.video_counts[i];
  *os << "]}";
}

}  // namespace tessaloom
