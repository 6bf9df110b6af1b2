// Internal faults: conditions that a checked, built index never produces but
// that inconsistent arrays (restored from bytes, or breaking an assumed
// invariant) can lead a walk into. The binding turns them into PanicException.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace tessaloom {

class InternalFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws InternalFault naming the array and the offending index.
[[noreturn]] void throw_out_of_range(const char* what, std::size_t index,
                                     std::size_t size);

// Returns v[i] after checking i against v's size.
template <class Vec>
inline const typename Vec::value_type& checked_at(const Vec& v, std::size_t i,
                                                  const char* what) {
  if (i >= v.size()) throw_out_of_range(what, i, v.size());
  return v[i];
}

}  // namespace tessaloom
