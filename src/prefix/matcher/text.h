// Query and term text for the walk: the query arrives as UTF-8 and is split
// into code points; a reported term is the path's code points encoded back
// to UTF-8. The two functions are duals.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessaloom::prefix::matcher {

// The code points of `text`. Throws std::invalid_argument when `text` is not
// valid UTF-8 (an overlong form, a surrogate, a value above U+10FFFF, or a
// truncated sequence).
std::vector<char32_t> decode_utf8(std::string_view text);

// The number of bytes encode_utf8 appends for `cps`, for code points that it
// accepts.
std::size_t utf8_size(std::span<const char32_t> cps);

// Appends the UTF-8 encoding of `cps` to `out`. Throws InternalFault when a
// code point is not a Unicode scalar value: labels are scalar values by the
// index's invariants, so such a label can only come from inconsistent arrays.
void encode_utf8(std::span<const char32_t> cps, std::string& out);

}  // namespace tessaloom::prefix::matcher
