#include "common/pod_array.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tessaloom::common {
namespace {

#if defined(__linux__)
bool mapped(std::size_t bytes) { return bytes >= kMappedBytes; }

void* map(std::size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}
#else
bool mapped(std::size_t) { return false; }
void* map(std::size_t) { throw std::bad_alloc(); }
#endif

void* heap(std::size_t bytes) {
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* allocate(std::size_t bytes) { return mapped(bytes) ? map(bytes) : heap(bytes); }

void* resize(void* p, std::size_t old_bytes, std::size_t bytes) {
  if (!mapped(old_bytes) && !mapped(bytes)) {
    void* q = std::realloc(p, bytes == 0 ? 1 : bytes);
    if (q == nullptr) throw std::bad_alloc();
    return q;
  }
#if defined(__linux__)
  if (mapped(old_bytes) && mapped(bytes)) {
    void* q = mremap(p, old_bytes, bytes, MREMAP_MAYMOVE);
    if (q == MAP_FAILED) throw std::bad_alloc();
    return q;
  }
#endif
  // Across the size that makes a block a mapping: a new block, and a copy.
  void* q = allocate(bytes);
  std::memcpy(q, p, std::min(old_bytes, bytes));
  release(p, old_bytes);
  return q;
}

void release(void* p, std::size_t bytes) noexcept {
#if defined(__linux__)
  if (mapped(bytes)) {
    munmap(p, bytes);
    return;
  }
#endif
  std::free(p);
}

}  // namespace tessaloom::common
