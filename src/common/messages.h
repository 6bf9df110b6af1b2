// FROZEN: the message texts that callers see and rely on, byte for byte.
//
// PrefixSearch's methods promise these texts exactly (argument binding and
// conversion, the construction checks, the decode errors), and callers and
// the documentation match on them, so none of them may change: not a word,
// a blank, a quote or a brace. New messages go elsewhere; a text here is
// only ever used where it is raised, never rewritten.
//
// Templates with % fields are PyErr_Format formats; the others are built by
// the functions below, with numbers in decimal.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessaloom::common::messages {

// ------------------------------------------------- binding (PyErr_Format)

// NAME is "<Class>.<method>()", for example "PrefixSearch.fuzzy_match()".
inline constexpr char kTooManyArguments[] = "%s takes %zu positional arguments but %zd %s given";
inline constexpr char kTooManyOptionalArguments[] =
    "%s takes from %zu to %zu positional arguments but %zd %s given";
inline constexpr char kUnexpectedKeyword[] = "%s got an unexpected keyword argument '%U'";
inline constexpr char kMultipleValues[] = "%s got multiple values for argument '%U'";
inline constexpr char kMissingArguments[] = "%s missing %zu required positional %s: %s";
// A conversion's TypeError again, naming the parameter.
inline constexpr char kArgument[] = "argument '%s': %U";
inline constexpr char kCannotConvert[] = "'%s' object cannot be converted to '%s'";
inline constexpr char kStrToVec[] = "Can't extract `str` to `Vec`";
inline constexpr char kIntegerOutOfRange[] = "out of range integral type conversion attempted";
inline constexpr char kNoBoolConversion[] =
    "object of type '%U' does not define a '__bool__' conversion";
inline constexpr char kNoConstructor[] = "No constructor defined for %U";
inline constexpr char kSubInterpreter[] =
    "%s only loads in the main interpreter, not in sub-interpreters";
// The qualified name of the internal-fault exception.
inline constexpr char kPanicExceptionName[] = "pyo3_runtime.PanicException";
// A DecodeError's text, as ValueError.
inline constexpr char kDecodeError[] = "decode error: %s";

// --------------------------------------------- construction from arrays

inline std::string node_shifts_length(std::size_t shifts, std::size_t labels) {
  return "node_shifts len " + std::to_string(shifts) + " != child_labels len " +
         std::to_string(labels);
}
inline std::string payloads_length(std::size_t payloads, std::size_t labels) {
  return "payloads len " + std::to_string(payloads) + " != child_labels len " +
         std::to_string(labels);
}
inline std::string child_transition_out_of_range(std::size_t edge, std::uint32_t target,
                                                 std::size_t nodes) {
  return "child_transitions[" + std::to_string(edge) + "] = " + std::to_string(target) +
         " out of range [0.." + std::to_string(nodes) + ")";
}
inline constexpr char kPayloadTupleSize[] = "Payload tuple must have 3 elements";
inline constexpr char kPayloadLengthMismatch[] = "video_ids and video_counts length mismatch";
inline constexpr char kMixedVideoIndex[] =
    "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)";

// ------------------------------------------------ decode errors (after kDecodeError)

inline std::string unexpected_end(std::uint64_t additional) {
  return "UnexpectedEnd { additional: " + std::to_string(additional) + " }";
}
// The names of format::IntegerType, in its order, for expected and found.
inline constexpr std::string_view kIntegerTypeNames[] = {"U32", "U64", "U128", "Reserved"};
inline std::string invalid_integer_type(std::string_view expected, std::string_view found) {
  return "InvalidIntegerType { expected: " + std::string(expected) +
         ", found: " + std::string(found) + " }";
}
inline std::string invalid_char_encoding(const std::array<std::uint8_t, 4>& bytes) {
  return "InvalidCharEncoding([" + std::to_string(bytes[0]) + ", " + std::to_string(bytes[1]) +
         ", " + std::to_string(bytes[2]) + ", " + std::to_string(bytes[3]) + "])";
}
inline std::string invalid_boolean_value(std::uint64_t value) {
  return "InvalidBooleanValue(" + std::to_string(value) + ")";
}
inline std::string unexpected_variant(std::string_view type_name, std::uint64_t found) {
  return "UnexpectedVariant { type_name: \"" + std::string(type_name) +
         "\", allowed: Range { min: 0, max: 1 }, found: " + std::to_string(found) + " }";
}
// The type names that unexpected_variant shows.
inline constexpr std::string_view kOptionPayloadTypeName =
    "core::option::Option<tessaloom::payload::Payload>";
inline constexpr std::string_view kIdModeTypeName = "IdMode";

// ------------------------------------------------------------- queries

inline constexpr char kQueryTooLarge[] = "the query needs more than 1 GiB of working memory";

}  // namespace tessaloom::common::messages
