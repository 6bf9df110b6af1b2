#include "common/text.h"

#include "common/fault.h"

namespace tessaloom::common {

std::vector<char32_t> decode_utf8(std::string_view utf8) {
  std::vector<char32_t> out;
  out.reserve(utf8.size());
  const auto* s = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const std::size_t size = utf8.size();
  for (std::size_t i = 0; i < size;) {
    if (s[i] < 0x80) {
      out.push_back(s[i++]);
      continue;
    }
    const std::size_t width = utf8_sequence_width(s[i]);
    char32_t c;
    if (width == 0 || size - i < width || !decode_utf8_sequence(s + i, width, c)) {
      throw InvalidInput("query is not valid UTF-8");
    }
    out.push_back(c);
    i += width;
  }
  return out;
}

std::size_t utf8_size(std::span<const char32_t> cps) {
  std::size_t size = 0;
  for (const char32_t c : cps) size += utf8_width(c);
  return size;
}

void encode_utf8(std::span<const char32_t> cps, std::string& out) {
  for (const char32_t c : cps) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    if (!is_scalar_value(c)) {
      throw InternalFault("label " + std::to_string(c) +
                          (c <= 0x10FFFF ? " is a surrogate" : " is above U+10FFFF") +
                          ", not a Unicode scalar value");
    }
    std::uint8_t bytes[4];
    out.append(reinterpret_cast<const char*>(bytes),
               static_cast<std::size_t>(put_utf8(c, bytes) - bytes));
  }
}

}  // namespace tessaloom::common
