#include "prefix/matcher/text.h"

#include <cstdint>
#include <stdexcept>

#include "common/fault.h"

namespace tessaloom::prefix::matcher {

std::vector<char32_t> decode_utf8(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const unsigned b0 = s[i];
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    std::size_t width;
    char32_t cp;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      width = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      width = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      width = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
      throw std::invalid_argument("query is not valid UTF-8");
    }
    if (size - i < width) throw std::invalid_argument("query is not valid UTF-8");
    for (std::size_t k = 1; k < width; ++k) {
      const unsigned b = s[i + k];
      if ((b & 0xC0) != 0x80) {
        throw std::invalid_argument("query is not valid UTF-8");
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      throw std::invalid_argument("query is not valid UTF-8");
    }
    out.push_back(cp);
    i += width;
  }
  return out;
}

std::size_t utf8_size(std::span<const char32_t> cps) {
  std::size_t size = 0;
  for (const char32_t cp : cps) {
    size += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  }
  return size;
}

void encode_utf8(std::span<const char32_t> cps, std::string& out) {
  for (const char32_t cp : cps) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      if (cp >= 0xD800 && cp <= 0xDFFF) {
        throw InternalFault("label " + std::to_string(cp) +
                            " is a surrogate, not a Unicode scalar value");
      }
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp <= 0x10FFFF) {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      throw InternalFault("label " + std::to_string(cp) +
                          " is above U+10FFFF, not a Unicode scalar value");
    }
  }
}

}  // namespace tessaloom::prefix::matcher
