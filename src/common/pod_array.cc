#include "common/pod_array.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSALOOM_ASAN 1
#endif
#endif
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(TESSALOOM_ASAN)
#include <sys/mman.h>
#define TESSALOOM_MAPPED_BLOCKS 1
#endif

namespace tessaloom::common {
namespace {

void* heap_block(std::size_t bytes) {
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* heap_resize(void* p, std::size_t bytes) {
  void* q = std::realloc(p, bytes == 0 ? 1 : bytes);
  if (q == nullptr) throw std::bad_alloc();
  return q;
}

}  // namespace

#ifdef TESSALOOM_MAPPED_BLOCKS

namespace {

void* mapped_block(std::size_t bytes, int flags) {
  void* p =
      mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

}  // namespace

void* allocate(std::size_t bytes) {
  return bytes < kMappedBytes ? heap_block(bytes) : mapped_block(bytes, 0);
}

void* allocate_populated(std::size_t bytes) {
  return bytes < kMappedBytes ? heap_block(bytes) : mapped_block(bytes, MAP_POPULATE);
}

void* resize(void* p, std::size_t old_bytes, std::size_t bytes) {
  const bool was_mapped = old_bytes >= kMappedBytes, mapped = bytes >= kMappedBytes;
  if (!was_mapped && !mapped) return heap_resize(p, bytes);
  if (was_mapped && mapped) {
    void* q = mremap(p, old_bytes, bytes, MREMAP_MAYMOVE);
    if (q == MAP_FAILED) throw std::bad_alloc();
    return q;
  }
  void* q = allocate(bytes);  // from one kind of block to the other
  std::memcpy(q, p, std::min(old_bytes, bytes));
  release(p, old_bytes);
  return q;
}

void release(void* p, std::size_t bytes) noexcept {
  if (p != nullptr && bytes >= kMappedBytes) {
    munmap(p, bytes);
  } else {
    std::free(p);
  }
}

#else  // malloc only: other systems, and AddressSanitizer, which checks malloc's blocks

void* allocate(std::size_t bytes) { return heap_block(bytes); }
void* allocate_populated(std::size_t bytes) { return heap_block(bytes); }
void* resize(void* p, std::size_t, std::size_t bytes) { return heap_resize(p, bytes); }
void release(void* p, std::size_t) noexcept { std::free(p); }

#endif

}  // namespace tessaloom::common
