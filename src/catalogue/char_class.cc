#include "catalogue/char_class.h"

#include <cstdint>

namespace tessaloom::catalogue {
namespace {
#include "char_class_table.inc"
}  // namespace

std::uint8_t table_class(char32_t c) {
  if (c >= 0x110000) return 0;
  return kCharClassBlocks[kCharClassIndex[c >> 7]][c & 0x7F];
}

const char* char_class_unicode_version() { return kCharClassUnicodeVersion; }

}  // namespace tessaloom::catalogue
