#include "common/fault.h"

namespace tessaloom::common {

void throw_out_of_range(const char* what, std::size_t index, std::size_t size) {
  throw InternalFault(std::string("index out of range: ") + what + "[" + std::to_string(index) +
                      "] with length " + std::to_string(size));
}

}  // namespace tessaloom::common
