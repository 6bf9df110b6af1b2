// Text: Unicode scalar values and their UTF-8 form, for every layer. Query
// text arrives as UTF-8 and is split into code points; reported terms are
// code points encoded back; the saved form stores labels as UTF-8. One set of
// rules serves all of them: a scalar value is any code point but the
// surrogates, up to U+10FFFF, and UTF-8 is read in its shortest form only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessaloom::common {

// Whether c is a Unicode scalar value (not a surrogate, not past U+10FFFF).
// Without branches, so that loops over many labels can test a vector of them
// at a time.
inline constexpr bool is_scalar_value(char32_t c) {
  return (static_cast<std::uint32_t>(c) - 0xD800u >= 0x800u) & (c <= 0x10FFFF);
}

// The UTF-8 width of a scalar value.
inline constexpr std::size_t utf8_width(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Writes the UTF-8 form of scalar value c at p, which must have
// utf8_width(c) bytes of room, and returns the end of what it wrote.
inline std::uint8_t* put_utf8(char32_t c, std::uint8_t* p) {
  if (c < 0x80) {
    *p++ = static_cast<std::uint8_t>(c);
  } else if (c < 0x800) {
    *p++ = static_cast<std::uint8_t>(0xC0 | (c >> 6));
    *p++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *p++ = static_cast<std::uint8_t>(0xE0 | (c >> 12));
    *p++ = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
    *p++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  } else {
    *p++ = static_cast<std::uint8_t>(0xF0 | (c >> 18));
    *p++ = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F));
    *p++ = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
    *p++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  }
  return p;
}

// The width of the UTF-8 sequence that lead byte b0 starts, or 0 when no
// shortest-form sequence starts with it (a continuation byte, C0, C1, F5 up).
inline constexpr std::size_t utf8_sequence_width(std::uint8_t b0) {
  return b0 < 0x80                  ? 1
         : b0 >= 0xC2 && b0 <= 0xDF ? 2
         : b0 >= 0xE0 && b0 <= 0xEF ? 3
         : b0 >= 0xF0 && b0 <= 0xF4 ? 4
                                    : 0;
}

// Decodes the sequence of `width` bytes (utf8_sequence_width of its first)
// at s into c. False when it is not the shortest form of a scalar value: the
// second byte's range rules out overlong forms (after E0, F0), surrogates
// (ED) and values past U+10FFFF (F4), the others must be continuations.
inline bool decode_utf8_sequence(const std::uint8_t* s, std::size_t width, char32_t& c) {
  const std::uint8_t b0 = s[0];
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 == 0xE0) lo = 0xA0;
  if (b0 == 0xED) hi = 0x9F;
  if (b0 == 0xF0) lo = 0x90;
  if (b0 == 0xF4) hi = 0x8F;
  bool valid = s[1] >= lo && s[1] <= hi;
  for (std::size_t i = 2; i < width; ++i) valid = valid && (s[i] & 0xC0) == 0x80;
  c = b0 & (width == 2 ? 0x1F : width == 3 ? 0x0F : 0x07);
  for (std::size_t i = 1; i < width; ++i) c = (c << 6) | (s[i] & 0x3F);
  return valid;
}

// The code points of `utf8`. Throws InvalidInput "query is not valid UTF-8"
// when it is not valid UTF-8 (an overlong form, a surrogate, a value above
// U+10FFFF, or a truncated sequence).
std::vector<char32_t> decode_utf8(std::string_view utf8);

// The number of bytes encode_utf8 appends for `cps`, for code points that it
// accepts.
std::size_t utf8_size(std::span<const char32_t> cps);

// Appends the UTF-8 encoding of `cps` to `out`. Throws InternalFault when a
// code point is not a Unicode scalar value: labels are scalar values by the
// index's invariants, so such a label can only come from inconsistent arrays.
void encode_utf8(std::span<const char32_t> cps, std::string& out);

}  // namespace tessaloom::common
