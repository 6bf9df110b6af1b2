#include "common/pod_array.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace tessaloom::pod_memory {
namespace {

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSALOOM_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TESSALOOM_ASAN 1
#endif

constexpr std::size_t kHuge = std::size_t{2} << 20;  // a huge page
constexpr std::size_t kPage = 4096;

#if defined(__linux__) && !defined(TESSALOOM_ASAN)
// Blocks from this size on are mapped; under AddressSanitizer every block
// comes from operator new, where overruns are caught.
constexpr std::size_t kMapFrom = kHuge;
#else
constexpr std::size_t kMapFrom = SIZE_MAX;
#endif

std::size_t round_up(std::size_t n, std::size_t to) {
  return (n + to - 1) / to * to;
}

}  // namespace

void* allocate(std::size_t bytes, std::size_t& usable) {
  if (bytes < kMapFrom) {
    void* p = ::operator new(bytes);
    usable = bytes;
    return p;
  }
#if defined(__linux__)
  if (bytes > SIZE_MAX - 2 * kHuge) throw std::bad_alloc();
  const std::size_t length = round_up(bytes, kPage);
  // Map a huge page more than needed, then cut the ends so that the block
  // starts on a 2 MiB boundary, where the kernel can back it with huge pages.
  const std::size_t span = length + kHuge - kPage;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = round_up(start, kHuge);
  if (aligned != start) munmap(raw, aligned - start);
  const std::size_t tail = start + span - (aligned + length);
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
  void* p = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
  madvise(p, length, MADV_HUGEPAGE);  // only a hint: failure is harmless
#endif
  usable = length;
  return p;
#else
  (void)usable;
  throw std::bad_alloc();  // not reached: kMapFrom is SIZE_MAX
#endif
}

void release(void* p, std::size_t usable) noexcept {
  if (usable < kMapFrom) {
    ::operator delete(p);
    return;
  }
#if defined(__linux__)
  munmap(p, round_up(usable, kPage));
#endif
}

std::size_t trim(void* p, std::size_t usable, std::size_t keep) noexcept {
  if (usable < kMapFrom) return usable;
#if defined(__linux__)
  // A mapped block stays at least kMapFrom long, so that release() still
  // knows it for one.
  const std::size_t kept = round_up(std::max(keep, kMapFrom), kPage);
  if (kept >= usable) return usable;
  if (munmap(static_cast<char*>(p) + kept, usable - kept) != 0) return usable;
  return kept;
#else
  (void)p;
  (void)keep;
  return usable;
#endif
}

void advise_huge_pages(void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t begin = round_up(start, kHuge);
  const std::uintptr_t end = (start + bytes) / kHuge * kHuge;
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace tessaloom::pod_memory
