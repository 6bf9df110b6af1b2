#include "payload/payload_scan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "format/format.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The scanner needs the bit-deposit instruction of x86-64; elsewhere, and
// when built without it, every payload is read value by value.
#if TESSALOOM_PAYLOAD_SCAN && defined(__x86_64__)
#define TESSALOOM_SCAN_BIT_DEPOSIT 1
#include <immintrin.h>
#else
#define TESSALOOM_SCAN_BIT_DEPOSIT 0
#endif

namespace tessaloom::payload {
namespace {

// Bytes read around a block: 64 for the block, two more for the bytes after
// a 3-byte value's marker, and the longest value (5 bytes for a u32) that
// starts in the block's last byte.
constexpr std::size_t kBlock = 64;
constexpr std::size_t kMargin = kBlock + 16;

// Value starts in 8 bytes in which every value is 1 or 3 bytes long, given
// how many leading bytes still belong to a value begun before them (0, 1 or
// 2) and which bytes are 251 or more: the starts (low byte) and how many
// bytes of the next 8 belong to the last value (high byte).
constexpr std::array<std::array<std::uint16_t, 256>, 3> make_table() {
  std::array<std::array<std::uint16_t, 256>, 3> t{};
  for (unsigned o = 0; o < 3; ++o) {
    for (unsigned m = 0; m < 256; ++m) {
      unsigned pos = o, starts = 0;
      while (pos < 8) {
        starts |= 1u << pos;
        pos += (m >> pos & 1) ? 3 : 1;
      }
      t[o][m] = static_cast<std::uint16_t>(starts | (pos - 8) << 8);
    }
  }
  return t;
}
constexpr auto kTable = make_table();

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighs = 0x8080808080808080;

// Bit i set where q[i] >= 251, where q[i] >= 252 and where q[i] == 0, for
// the 64 bytes of a block.
struct Masks {
  std::uint64_t ge251 = 0, ge252 = 0, zero = 0;
};

Masks block_masks(const std::uint8_t* q) {
  Masks m;
#if defined(__SSE2__)
  const __m128i t251 = _mm_set1_epi8(static_cast<char>(format::kMarker2));
  const __m128i t252 = _mm_set1_epi8(static_cast<char>(format::kMarker4));
  const __m128i zero = _mm_setzero_si128();
  auto bits = [](__m128i v, int i) {
    return std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(v))} << (16 * i);
  };
  for (int i = 0; i < 4; ++i) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 16 * i));
    m.ge251 |= bits(_mm_cmpeq_epi8(_mm_max_epu8(x, t251), x), i);
    m.ge252 |= bits(_mm_cmpeq_epi8(_mm_max_epu8(x, t252), x), i);
    m.zero |= bits(_mm_cmpeq_epi8(x, zero), i);
  }
#else
  for (unsigned i = 0; i < 64; ++i) {
    m.ge251 |= std::uint64_t{q[i] >= format::kMarker2} << i;
    m.ge252 |= std::uint64_t{q[i] >= format::kMarker4} << i;
    m.zero |= std::uint64_t{q[i] == 0} << i;
  }
#endif
  return m;
}

// Of the 3-byte values starting in the block at q (`markers`), those whose
// value is below 251: the byte after the marker below 251 and the one after
// that 0. The two bytes past the block are read on their own.
std::uint64_t short_values(const std::uint8_t* q, const Masks& m, std::uint64_t markers) {
  const std::uint64_t low_next =
      ~(m.ge251 >> 1) & ~(std::uint64_t{q[64] >= format::kMarker2} << 63);
  const std::uint64_t zero_after =
      (m.zero >> 2) | std::uint64_t{q[64] == 0} << 62 | std::uint64_t{q[65] == 0} << 63;
  return markers & low_next & zero_after;
}

}  // namespace

Scanner::Scanner(const std::uint8_t* begin, const std::uint8_t* end)
    : room_(available() && static_cast<std::size_t>(end - begin) > kMargin),
      limit_(room_ ? end - kMargin : begin),
      first_long_form_(end) {}

void Scanner::refill(const std::uint8_t* from) {
  origin_ = from;
  marked_end_ = from;
  complete_ = false;
  if (!room_ || from > limit_) return;
  const std::size_t blocks =
      std::min<std::size_t>(kWords, static_cast<std::size_t>(limit_ - from) / kBlock + 1);
  unsigned carry = 0;  // bytes of this block inside a value begun before it
  for (std::size_t k = 0; k < blocks; ++k) {
    const std::uint8_t* q = from + k * kBlock;
    const Masks masks = block_masks(q);
    const std::uint64_t ge251 = masks.ge251;
    std::uint64_t starts = 0;
    const unsigned carry_in = carry;
    bool simple = false;
    if (carry <= 2) {
      // First as if every value were 1 or 3 bytes long (any byte of 251 or
      // more at a start taken for a 3-byte marker). The first `carry` bytes
      // belong to the previous value; after them, a byte of 251 or more
      // with no other such byte in the two before it starts a value
      // (nothing can cover it), and when no such byte has one (the usual
      // case) the starts follow at once: every byte not covered by a marker
      // or the carry. Otherwise the lengths are followed through the table,
      // 8 bytes a step. The guess holds when no start is 252 or more.
      const std::uint64_t carried = (std::uint64_t{1} << carry) - 1;
      const std::uint64_t m = ge251 & ~carried;
      if ((m & ((m << 1) | (m << 2))) == 0) {
        starts = ~(carried | (m << 1) | (m << 2));
        carry = (m >> 63) ? 2 : (m >> 62) & 1;
      } else {
        for (unsigned j = 0; j < 8; ++j) {
          const std::uint16_t e = kTable[carry][(ge251 >> (8 * j)) & 0xFF];
          starts |= std::uint64_t{e & 0xFFu} << (8 * j);
          carry = e >> 8;
        }
      }
      simple = (starts & masks.ge252) == 0;
      if (simple) {
        const std::uint64_t long_forms = short_values(q, masks, starts & ge251);
        if (long_forms != 0) {
          first_long_form_ = std::min(first_long_form_, q + std::countr_zero(long_forms));
        }
      }
    }
    if (!simple) {
      // A 5-byte value or a refused marker: one value at a time.
      starts = 0;
      unsigned pos = carry_in;
      while (pos < kBlock) {
        const std::uint8_t b = q[pos];
        if (b >= format::kMarker8) {
          // An 8-byte form (allowed only for a length) or a refused marker:
          // marks end here, and the caller reads on value by value.
          words_[k] = starts;
          marked_end_ = q + pos;
          return;
        }
        starts |= std::uint64_t{1} << pos;
        if (b == format::kMarker2) {
          std::uint16_t v;
          std::memcpy(&v, q + pos + 1, 2);
          if (v <= format::kMaxOneByte) first_long_form_ = std::min(first_long_form_, q + pos);
          pos += 3;
        } else if (b == format::kMarker4) {
          std::uint32_t v;
          std::memcpy(&v, q + pos + 1, 4);
          if (v <= 0xFFFF) first_long_form_ = std::min(first_long_form_, q + pos);
          pos += 5;
        } else {
          pos += 1;
        }
      }
      carry = pos - kBlock;
    }
    words_[k] = starts;
  }
  marked_end_ = from + blocks * kBlock;
  complete_ = blocks == kWords;
}

[[gnu::always_inline]] inline std::uint64_t Scanner::window(const std::uint8_t* q) const {
  const std::size_t bit = static_cast<std::size_t>(q - origin_);
  const std::size_t i = bit / 64, off = bit % 64;
  // words_[i + 1] exists (the array has a spare word); marks past
  // marked_end_ may be stale, and callers refuse any answer there.
  return (words_[i] >> off) | (words_[i + 1] << 1 << (63 - off));
}

#if TESSALOOM_SCAN_BIT_DEPOSIT

// The k-th start at or after q in one step: the marks of the 64 bytes from
// q, and a bit deposit of 1 << k into them, whose lowest set bit is the
// k-th mark; longer payloads take one step per 64 bytes.
__attribute__((target("bmi,bmi2,popcnt"), always_inline)) inline const std::uint8_t*
Scanner::skip_values(const std::uint8_t* q, unsigned k) const {
  for (;;) {
    if (q >= marked_end_) return nullptr;
    const std::uint64_t w = window(q);
    const unsigned c = static_cast<unsigned>(_mm_popcnt_u64(w));
    if (k < c) {
      const std::uint8_t* r = q + _tzcnt_u64(_pdep_u64(std::uint64_t{1} << k, w));
      return r < marked_end_ ? r : nullptr;
    }
    k -= c;
    q += 64;
  }
}

__attribute__((target("bmi,bmi2,popcnt"))) std::size_t Scanner::run(const std::uint8_t* p,
                                                                    std::size_t max,
                                                                    const std::uint8_t** ends) {
  std::size_t i = 0;
  for (; i < max; ++i) {
    if (p >= marked_end_ || (complete_ && static_cast<std::size_t>(marked_end_ - p) < kAhead)) {
      refill(p);
    }
    if (p >= marked_end_) break;
    if ((window(p) & 1) == 0) {
      // Not where the marks say a value starts: start again from here.
      refill(p);
      if (p >= marked_end_) break;
    }
    const std::uint8_t tag = p[0];
    const std::uint8_t* end = p + 1;
    if (tag != 0) {
      if (tag != 1) break;
      const std::uint8_t* q = p + 1;  // total_count
      const std::uint8_t b = q[0];
      if (b > format::kMarker4) break;
      q += b <= format::kMaxOneByte ? 1 : b == format::kMarker2 ? 3 : 5;
      const std::uint8_t n_ids = q[0];
      if (n_ids > format::kMaxOneByte) break;
      q = skip_values(q + 1, n_ids);
      if (q == nullptr) break;
      const unsigned n_counts = q[0];
      if (n_counts > format::kMaxOneByte) break;
      q += 1;
      end = nullptr;
      if (n_counts < 63 && q < marked_end_) {
        // Counts are nearly always one byte each: then the n_counts bytes
        // from q and the byte after them all start values.
        const std::uint64_t all = (std::uint64_t{2} << n_counts) - 1;
        if ((window(q) & all) == all) end = q + n_counts;
      }
      if (end == nullptr) end = skip_values(q, n_counts);
      if (end == nullptr || end >= marked_end_) break;
    }
    ends[i] = end;
    p = end;
  }
  return i;
}

bool Scanner::available() {
  static const bool fast = [] {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("bmi") || !__builtin_cpu_supports("bmi2") ||
        !__builtin_cpu_supports("popcnt"))
      return false;
    // AMD families 15h and 17h run the bit deposit in microcode, hundreds
    // of cycles each: reading value by value is faster there.
    return !(__builtin_cpu_is("amdfam15h") || __builtin_cpu_is("amdfam17h"));
  }();
  return fast;
}

#else

std::size_t Scanner::run(const std::uint8_t*, std::size_t, const std::uint8_t**) { return 0; }
bool Scanner::available() { return false; }

#endif

}  // namespace tessaloom::payload
