#include "format/format.h"

#include <algorithm>
#include <iterator>

#include "common/fault.h"
#include "common/messages.h"

namespace tessaloom::format {

using common::decode_utf8_sequence;
using common::InternalFault;
using common::is_scalar_value;
using common::PodArray;
using common::utf8_sequence_width;
using common::utf8_width;

namespace {

static_assert(static_cast<std::size_t>(IntegerType::Reserved) + 1 ==
              std::size(common::messages::kIntegerTypeNames));

std::string_view integer_type_name(IntegerType t) {
  return common::messages::kIntegerTypeNames[static_cast<std::size_t>(t)];
}

}  // namespace

// ---------------------------------------------------------------- errors

DecodeError DecodeError::unexpected_end(std::uint64_t additional) {
  DecodeError e;
  e.kind_ = Kind::UnexpectedEnd;
  e.number_ = additional;
  e.what_ = e.text();
  return e;
}

DecodeError DecodeError::invalid_integer_type(IntegerType expected, IntegerType found) {
  DecodeError e;
  e.kind_ = Kind::InvalidIntegerType;
  e.expected_ = expected;
  e.found_ = found;
  e.what_ = e.text();
  return e;
}

DecodeError DecodeError::invalid_char_encoding(std::array<std::uint8_t, 4> bytes) {
  DecodeError e;
  e.kind_ = Kind::InvalidCharEncoding;
  e.bytes_ = bytes;
  e.what_ = e.text();
  return e;
}

DecodeError DecodeError::invalid_boolean_value(std::uint8_t value) {
  DecodeError e;
  e.kind_ = Kind::InvalidBooleanValue;
  e.number_ = value;
  e.what_ = e.text();
  return e;
}

DecodeError DecodeError::unexpected_variant(std::string_view type_name, std::uint64_t found) {
  DecodeError e;
  e.kind_ = Kind::UnexpectedVariant;
  e.type_name_ = type_name;
  e.number_ = found;
  e.what_ = e.text();
  return e;
}

std::string DecodeError::text() const {
  switch (kind_) {
    case Kind::UnexpectedEnd:
      return common::messages::unexpected_end(number_);
    case Kind::InvalidIntegerType:
      return common::messages::invalid_integer_type(integer_type_name(expected_),
                                                    integer_type_name(found_));
    case Kind::InvalidCharEncoding:
      return common::messages::invalid_char_encoding(bytes_);
    case Kind::InvalidBooleanValue:
      return common::messages::invalid_boolean_value(number_);
    case Kind::UnexpectedVariant:
      return common::messages::unexpected_variant(type_name_, number_);
  }
  return "unknown decode error";
}

// ---------------------------------------------------------------- sizes

std::size_t u32_values_size(std::span<const std::uint32_t> v) {
  // Counted in 32-bit lanes (which the compiler vectorises), in blocks
  // short enough that a lane cannot overflow.
  std::size_t n = v.size();
  constexpr std::size_t kBlock = std::size_t{1} << 28;
  for (std::size_t b = 0; b < v.size(); b += kBlock) {
    const std::size_t e = std::min(v.size(), b + kBlock);
    std::uint32_t extra = 0;
    for (std::size_t i = b; i < e; ++i) {
      extra += 2 * (v[i] > kMaxOneByte) + 2 * (v[i] > 0xFFFF);
    }
    n += extra;
  }
  return n;
}

std::size_t chars_size(std::span<const char32_t> v) {
  std::size_t n = varint_size(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    const char32_t c = v[i];
    if (c < 0x80) {
      n += 1;
      continue;
    }
    if (!is_scalar_value(c)) {
      throw InternalFault("label " + std::to_string(i) + " is " +
                          std::to_string(static_cast<std::uint32_t>(c)) +
                          ", not a Unicode scalar value");
    }
    n += utf8_width(c);
  }
  return n;
}

// ---------------------------------------------------------------- reading

void Reader::fail(const DecodeError& e) { throw e; }

template <class T>
T Reader::read_form() {
  if (remaining() < sizeof(T)) {
    fail(DecodeError::unexpected_end(sizeof(T) - remaining()));
  }
  T v;
  std::memcpy(&v, p_, sizeof(T));
  p_ += sizeof(T);
  return v;
}

std::uint32_t Reader::read_u32_slow() {
  if (p_ == end_) fail(DecodeError::unexpected_end(1));
  const std::uint8_t b = *p_++;
  switch (b) {
    case kMarker2:
      return read_form<std::uint16_t>();
    case kMarker4:
      return read_form<std::uint32_t>();
    case kMarker8:
      fail(DecodeError::invalid_integer_type(IntegerType::U32, IntegerType::U64));
    case kMarker8 + 1:
      fail(DecodeError::invalid_integer_type(IntegerType::U32, IntegerType::U128));
    case kMarker8 + 2:
      fail(DecodeError::invalid_integer_type(IntegerType::U32, IntegerType::Reserved));
    default:
      return b;  // not reached: the inline path takes one-byte values
  }
}

std::uint64_t Reader::read_len_slow() {
  if (p_ == end_) fail(DecodeError::unexpected_end(1));
  const std::uint8_t b = *p_++;
  switch (b) {
    case kMarker2:
      return read_form<std::uint16_t>();
    case kMarker4:
      return read_form<std::uint32_t>();
    case kMarker8:
      return read_form<std::uint64_t>();
    case kMarker8 + 1:
      fail(DecodeError::invalid_integer_type(IntegerType::U64, IntegerType::U128));
    case kMarker8 + 2:
      fail(DecodeError::invalid_integer_type(IntegerType::U64, IntegerType::Reserved));
    default:
      return b;
  }
}

char32_t Reader::read_char_slow() {
  if (p_ == end_) fail(DecodeError::unexpected_end(1));
  const std::uint8_t b0 = *p_;
  if (b0 < 0x80) return *p_++;
  const std::size_t width = utf8_sequence_width(b0);
  if (width == 0) fail(DecodeError::invalid_char_encoding({b0, 0, 0, 0}));
  ++p_;
  const std::size_t rest = width - 1;
  if (remaining() < rest) fail(DecodeError::unexpected_end(rest - remaining()));
  std::array<std::uint8_t, 4> bytes{b0, 0, 0, 0};
  std::memcpy(bytes.data() + 1, p_, rest);
  p_ += rest;
  char32_t c;
  if (!decode_utf8_sequence(bytes.data(), width, c)) {
    fail(DecodeError::invalid_char_encoding(bytes));
  }
  return c;
}

void Reader::read_bool_fail() {
  if (p_ == end_) fail(DecodeError::unexpected_end(1));
  fail(DecodeError::invalid_boolean_value(*p_));
}

void Reader::read_tag_fail(std::string_view type_name) {
  if (p_ == end_) fail(DecodeError::unexpected_end(1));
  fail(DecodeError::unexpected_variant(type_name, *p_));
}

std::uint32_t Reader::read_variant(std::string_view type_name) {
  const std::uint32_t v = read_u32();
  if (v > 1) fail(DecodeError::unexpected_variant(type_name, v));
  return v;
}

namespace {

// Room for m more elements of out, and its size grown by them (left for the
// caller to fill): geometric growth, so that appending many small runs stays
// linear. An array read whole (the common case: an empty one without a
// block) gets a block of exactly m, its pages in place.
template <class T>
T* grow(PodArray<T>& out, std::size_t m) {
  const std::size_t base = out.size();
  if (out.capacity() == 0 && m != 0) {
    out.assign_for_overwrite(m);
    return out.data();
  }
  out.reserve_more(m);
  out.resize_for_overwrite(base + m);
  return out.data() + base;
}

}  // namespace

void Reader::read_u32s(PodArray<std::uint32_t>& out, std::uint64_t n) {
  const std::size_t m = reservable(n);
  std::uint32_t* dst = grow(out, m);

  // The fast path while 5 bytes are left; the tail of the input, and
  // anything refused, go through read_u32.
  const std::uint8_t* p = p_;
  std::size_t k = 0;
  while (k < m && end_ - p >= 5 && take_u32(p, dst[k])) ++k;
  p_ = p;
  for (; k < m; ++k) dst[k] = read_u32();
  // Past m the input is used up (each element took at least a byte), so the
  // next read reports the end.
  for (std::uint64_t j = m; j < n; ++j) out.push_back(read_u32());
}

void Reader::read_chars(PodArray<char32_t>& out, std::uint64_t n) {
  const std::size_t m = reservable(n);
  char32_t* dst = grow(out, m);
  const std::uint8_t* p = p_;
  std::size_t k = 0;
  for (; k < m && p != end_ && *p < 0x80; ++k) dst[k] = *p++;
  p_ = p;
  for (; k < m; ++k) dst[k] = read_char();
  for (std::uint64_t j = m; j < n; ++j) out.push_back(read_char());
}

void Reader::read_id16s(PodArray<Id16>& out, std::uint64_t n) {
  const std::size_t m = reservable(n, kId16Size);
  if (m < n) {
    // The ids that fit are read, then id m lacks what the input does not hold.
    fail(DecodeError::unexpected_end(kId16Size - remaining() % kId16Size));
  }
  Id16* dst = grow(out, m);
  if (m != 0) std::memcpy(dst, p_, m * kId16Size);
  p_ += m * kId16Size;
}

void Reader::read_bools(PodArray<std::uint8_t>& out, std::uint64_t n) {
  const std::size_t m = reservable(n);
  std::uint8_t seen = 0;
  for (std::size_t k = 0; k < m; ++k) seen |= p_[k];
  if (seen > 1) {
    for (std::size_t k = 0; k < m; ++k) {
      if (p_[k] > 1) fail(DecodeError::invalid_boolean_value(p_[k]));
    }
  }
  std::uint8_t* dst = grow(out, m);
  if (m != 0) std::memcpy(dst, p_, m);
  p_ += m;
  if (m < n) fail(DecodeError::unexpected_end(1));
}

}  // namespace tessaloom::format
