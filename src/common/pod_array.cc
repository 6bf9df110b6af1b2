#include "common/pod_array.h"

#include <cstdlib>

namespace tessaloom::common {

void* allocate(std::size_t bytes) {
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* resize(void* p, std::size_t bytes) {
  void* q = std::realloc(p, bytes == 0 ? 1 : bytes);
  if (q == nullptr) throw std::bad_alloc();
  return q;
}

void release(void* p) noexcept { std::free(p); }

}  // namespace tessaloom::common
