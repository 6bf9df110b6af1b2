// The core's errors, one type per kind of failure; the binding maps each to
// its Python exception in one place (lib/binding.h, guarded):
//
//   InvalidInput         input refused by a check (ValueError)
//   format::DecodeError  bytes that are not a saved index (ValueError,
//                        "decode error: ...")
//   TooLarge             past a limit of memory or size, such as a query past
//                        its working memory (QueryTooLarge) (MemoryError with
//                        the message, common/budget.h); std::bad_alloc
//                        MemoryError
//   InternalFault        arrays that break the index's invariants, met where a
//                        walk reads them (PanicException)
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace tessaloom::common {

// Input that a check refuses; what() is the message shown to the caller.
class InvalidInput : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A condition that a checked, built index never produces but that
// inconsistent arrays (restored from bytes, or breaking an assumed
// invariant) can lead a walk into.
class InternalFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws InternalFault naming the array and the offending index.
[[noreturn]] void throw_out_of_range(const char* what, std::size_t index, std::size_t size);

// Returns v[i] after checking i against v's size.
template <class Vec>
inline const typename Vec::value_type& checked_at(const Vec& v, std::size_t i, const char* what) {
  if (i >= v.size()) throw_out_of_range(what, i, v.size());
  return v[i];
}

}  // namespace tessaloom::common
