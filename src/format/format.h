// The building blocks of the saved-index byte format, each with its writer
// and its reader side by side:
//
//   varint       first byte 0..250 is the value; 251, 252, 253 are followed
//                by 2, 4, 8 little-endian bytes; 254 and 255 are refused.
//                Written in the shortest form; longer forms are read.
//   u32          a varint in the 1-, 3- or 5-byte form (253 is refused).
//   length       a varint in any of the four forms: an element count.
//   char         the UTF-8 encoding of one Unicode scalar value.
//   bool         one byte, 00 or 01.
//   option tag   one plain byte, 00 (absent) or 01 (present).
//   variant      an enumeration's number as a u32, 0 or 1.
//   id16         16 raw bytes.
//
// Writing goes into a buffer sized beforehand by the *_size functions, so a
// save reserves its output once. Reading works straight from the input
// buffer; a read that fails throws DecodeError.
#pragma once

#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/messages.h"
#include "common/pod_array.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/text.h"

namespace tessaloom::format {

// ---------------------------------------------------------------- errors

enum class IntegerType : std::uint8_t { U32, U64, U128, Reserved };

// Why a load failed. text() (also what()) is the message the Python layer
// shows after "decode error: ".
class DecodeError : public std::exception {
 public:
  enum class Kind : std::uint8_t {
    UnexpectedEnd,        // the input ended; number = bytes the read lacked
    InvalidIntegerType,   // a varint form not allowed where it stood
    InvalidCharEncoding,  // bytes = the refused UTF-8, zero-padded
    InvalidBooleanValue,  // number = the byte
    UnexpectedVariant,    // type_name, number = the refused tag or number
  };

  static DecodeError unexpected_end(std::uint64_t additional);
  static DecodeError invalid_integer_type(IntegerType expected, IntegerType found);
  static DecodeError invalid_char_encoding(std::array<std::uint8_t, 4> bytes);
  static DecodeError invalid_boolean_value(std::uint8_t value);
  static DecodeError unexpected_variant(std::string_view type_name, std::uint64_t found);

  std::uint64_t number() const { return number_; }
  std::string text() const;
  const char* what() const noexcept override { return what_.c_str(); }

  bool operator==(const DecodeError& o) const { return what_ == o.what_; }

 private:
  Kind kind_ = Kind::UnexpectedEnd;
  IntegerType expected_ = IntegerType::U32;
  IntegerType found_ = IntegerType::U32;
  std::array<std::uint8_t, 4> bytes_{};
  std::uint64_t number_ = 0;
  std::string_view type_name_;  // always a string literal
  std::string what_;            // text(), set by the factories
};

// Type names of the two enumerations in the format, as the errors show them
// (frozen texts).
using common::messages::kIdModeTypeName;
using common::messages::kOptionPayloadTypeName;

// ---------------------------------------------------------------- varints

// The first byte of a varint: up to kMaxOneByte, the value itself; else the
// marker of a longer form, the value following in 2, 4 or 8 little-endian
// bytes. Bytes above kMarker8 are refused.
inline constexpr std::uint8_t kMaxOneByte = 250;
inline constexpr std::uint8_t kMarker2 = 251;
inline constexpr std::uint8_t kMarker4 = 252;
inline constexpr std::uint8_t kMarker8 = 253;

inline constexpr std::size_t varint_size(std::uint64_t v) {
  return v <= kMaxOneByte ? 1 : v <= 0xFFFF ? 3 : v <= 0xFFFFFFFF ? 5 : 9;
}

inline constexpr std::size_t u32_size(std::uint32_t v) {
  return 1 + 2 * (v > kMaxOneByte) + 2 * (v > 0xFFFF);
}

// The u32 decode, which every reader of u32 values uses: decodes the u32 at
// p, which must have 5 bytes readable, and moves p past it. False, with p
// unchanged, for a marker a u32 refuses. Branches on the form: they predict
// well on real indexes (runs of one form), and a predicted branch lets the
// next read start before this one finishes.
inline bool take_u32(const std::uint8_t*& p, std::uint32_t& v) {
  const std::uint8_t b = *p;
  if (b <= kMaxOneByte) {
    v = b;
    p += 1;
    return true;
  }
  if (b == kMarker2) {
    std::uint16_t x;
    std::memcpy(&x, p + 1, 2);
    v = x;
    p += 3;
    return true;
  }
  if (b == kMarker4) {
    std::memcpy(&v, p + 1, 4);
    p += 5;
    return true;
  }
  return false;
}

inline constexpr std::size_t kId16Size = 16;
using Id16 = std::array<std::uint8_t, kId16Size>;

// ---------------------------------------------------------------- writing

// Writes into a buffer whose size was counted beforehand. Running past its
// end is a bug in the counting; debug builds assert against it.
class Writer {
 public:
  explicit Writer(std::span<std::uint8_t> out) : p_(out.data()), end_(out.data() + out.size()) {}

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
  std::uint8_t* position() const { return p_; }
  // Moves past n bytes that the caller has written at position().
  void skip(std::size_t n) {
    assert(remaining() >= n);
    p_ += n;
  }

  void write_varint(std::uint64_t v) {
    if (v <= kMaxOneByte) {
      assert(remaining() >= 1);
      *p_++ = static_cast<std::uint8_t>(v);
    } else if (v <= 0xFFFF) {
      write_form(kMarker2, static_cast<std::uint16_t>(v));
    } else if (v <= 0xFFFFFFFF) {
      write_form(kMarker4, static_cast<std::uint32_t>(v));
    } else {
      write_form(kMarker8, v);
    }
  }
  void write_u32(std::uint32_t v) {
    if (end_ - p_ >= 8) {
      put_u32(p_, v);
    } else {
      write_varint(v);
    }
  }
  // Writes v at p, which must have 8 bytes writable, and moves p past it:
  // one 8-byte store and no branch on the form; the bytes past the value
  // are overwritten by what follows.
  static void put_u32(std::uint8_t*& p, std::uint32_t v) {
    const std::uint32_t ge251 = v > kMaxOneByte, ge65536 = v > 0xFFFF;
    static_assert(kMarker2 == kMaxOneByte + 1 && kMarker4 == kMarker2 + 1);
    const std::uint64_t marker = kMaxOneByte + ge251 + ge65536;
    const std::uint64_t word = ge251 ? (std::uint64_t{v} << 8) | marker : std::uint64_t{v};
    std::memcpy(p, &word, 8);
    p += 1 + 2 * ge251 + 2 * ge65536;
  }
  void write_len(std::uint64_t n) { write_varint(n); }

  // c must be a scalar value (see is_scalar_value).
  void write_char(char32_t c) {
    assert(remaining() >= common::utf8_width(c));
    if (c < 0x80) {  // most labels: kept inline
      *p_++ = static_cast<std::uint8_t>(c);
    } else {
      p_ = common::put_utf8(c, p_);
    }
  }

  void write_bool(bool b) {
    assert(remaining() >= 1);
    *p_++ = b ? 1 : 0;
  }
  void write_option_tag(bool present) { write_bool(present); }
  void write_variant(std::uint32_t number) { write_u32(number); }

  // A vector of 16-byte ids: its length, then the ids as one block.
  void write_id16s(std::span<const Id16> ids) {
    write_len(ids.size());
    assert(remaining() >= ids.size() * kId16Size);
    if (!ids.empty()) std::memcpy(p_, ids.data(), ids.size() * kId16Size);
    p_ += ids.size() * kId16Size;
  }
  // A vector of booleans held one per byte (nonzero is true).
  void write_bools(std::span<const std::uint8_t> flags) {
    write_len(flags.size());
    assert(remaining() >= flags.size());
    for (std::size_t i = 0; i < flags.size(); ++i) p_[i] = flags[i] != 0;
    p_ += flags.size();
  }
  // A vector of u32: its length, then the elements.
  void write_u32s(std::span<const std::uint32_t> v) {
    write_len(v.size());
    write_u32_values(v.data(), v.size());
  }
  // The elements alone.
  void write_u32_values(const std::uint32_t* v, std::size_t n) {
    std::size_t k = 0;
    // With room for every value in its longest form and 8 bytes more, no
    // store below passes the end of the buffer.
    if (remaining() / 5 > n + 1) {
      std::uint8_t* p = p_;
#if defined(__SSE2__)
      // Blocks of four one-byte values (most counts) as four bytes.
      const __m128i flip = _mm_set1_epi32(static_cast<int>(0x80000000u));
      const __m128i limit = _mm_set1_epi32(static_cast<int>(0x80000000u + kMaxOneByte));
      for (; k + 4 <= n; k += 4) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + k));
        const __m128i over = _mm_cmpgt_epi32(_mm_xor_si128(x, flip), limit);
        if (_mm_movemask_epi8(over) != 0) {
          for (std::size_t j = k; j < k + 4; ++j) put_u32(p, v[j]);
          continue;
        }
        const __m128i w16 = _mm_packs_epi32(x, x);
        const std::int32_t bytes = _mm_cvtsi128_si32(_mm_packus_epi16(w16, w16));
        std::memcpy(p, &bytes, 4);
        p += 4;
      }
#endif
      for (; k < n; ++k) put_u32(p, v[k]);
      p_ = p;
    }
    for (; k < n; ++k) write_u32(v[k]);
  }
  // A vector of characters, each a scalar value.
  void write_chars(std::span<const char32_t> v) {
    write_len(v.size());
    for (char32_t c : v) write_char(c);
  }

 private:
  template <class T>
  void write_form(std::uint8_t marker, T v) {
    assert(remaining() >= 1 + sizeof(T));
    *p_ = marker;
    // The format is little-endian, as is every platform this builds for.
    static_assert(std::endian::native == std::endian::little);
    std::memcpy(p_ + 1, &v, sizeof(T));
    p_ += 1 + sizeof(T);
  }

  std::uint8_t* p_;
  std::uint8_t* end_;
};

// The bytes that the values take, without a length.
std::size_t u32_values_size(std::span<const std::uint32_t> v);
// Sizes of whole vectors (length and elements).
inline std::size_t u32s_size(std::span<const std::uint32_t> v) {
  return varint_size(v.size()) + u32_values_size(v);
}
// Throws InternalFault on an element that is not a scalar value: it has no
// encoding, and nothing is written for it.
std::size_t chars_size(std::span<const char32_t> v);
inline std::size_t id16s_size(std::size_t n) { return varint_size(n) + n * kId16Size; }
inline std::size_t bools_size(std::size_t n) { return varint_size(n) + n; }

// ---------------------------------------------------------------- reading

// Reads from the front of the input, throwing DecodeError on the first
// problem. The fast paths are inline; every failure goes through an
// out-of-line function.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> in) : p_(in.data()), end_(in.data() + in.size()) {}

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
  const std::uint8_t* position() const { return p_; }
  const std::uint8_t* end() const { return end_; }
  // Moves on to p, which must lie between position() and end(): for a
  // caller that has checked the bytes in between by other means.
  void seek(const std::uint8_t* p) {
    assert(p >= p_ && p <= end_);
    p_ = p;
  }

  // How many elements of a declared count to reserve room for: never more
  // than the rest of the input can hold, each element taking at least
  // min_bytes.
  std::size_t reservable(std::uint64_t count, std::size_t min_bytes = 1) const {
    const std::size_t fit = remaining() / min_bytes;
    return count < fit ? static_cast<std::size_t>(count) : fit;
  }

  std::uint32_t read_u32() {
    std::uint32_t v;
    if (end_ - p_ >= 5 && take_u32(p_, v)) return v;
    return read_u32_slow();
  }

  std::uint64_t read_len() {
    if (p_ != end_ && *p_ <= kMaxOneByte) return *p_++;
    return read_len_slow();
  }
  char32_t read_char() {
    if (p_ != end_ && *p_ < 0x80) return *p_++;
    return read_char_slow();
  }
  bool read_bool() {
    if (p_ != end_ && *p_ <= 1) return *p_++ != 0;
    read_bool_fail();
  }
  // An option tag: true for present.
  bool read_option_tag(std::string_view type_name) {
    if (p_ != end_ && *p_ <= 1) return *p_++ != 0;
    read_tag_fail(type_name);
  }
  // An enumeration's number (a u32), 0 or 1.
  std::uint32_t read_variant(std::string_view type_name);

  // Append n elements (a vector's declared length) to `out`, growing it
  // geometrically but never past what the rest of the input can hold.
  void read_u32s(common::PodArray<std::uint32_t>& out, std::uint64_t n);
  void read_chars(common::PodArray<char32_t>& out, std::uint64_t n);

  // n ids of 16 bytes each, copied as one block.
  void read_id16s(common::PodArray<Id16>& out, std::uint64_t n);
  // n booleans, one byte each, stored as 0 or 1; the first byte other than
  // 00 and 01 is refused.
  void read_bools(common::PodArray<std::uint8_t>& out, std::uint64_t n);

 private:
  [[noreturn]] static void fail(const DecodeError& e);
  std::uint32_t read_u32_slow();
  std::uint64_t read_len_slow();
  char32_t read_char_slow();
  [[noreturn]] void read_bool_fail();
  [[noreturn]] void read_tag_fail(std::string_view type_name);
  // The payload of a 2-, 4- or 8-byte varint form, after its marker.
  template <class T>
  T read_form();

  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

}  // namespace tessaloom::format
