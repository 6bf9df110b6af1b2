// PrefixSearch.from_internal_data_v2: converts the six arrays, parameter by
// parameter, and hands them to the core's construction (index/construct.h),
// which checks them in a fixed order. Payload items are converted only after
// the checks of the lengths and edges, one by one as the construction takes
// them. Any failure leaves nothing behind.
#include <vector>

#include "index/construct.h"
#include "lib/binding.h"
#include "lib/methods.h"

namespace tessaloom::lib {

using common::InvalidInput;

namespace {

constexpr const char* kParams[] = {"node_shifts",       "child_labels", "payloads",
                                   "child_transitions", "video_index",  "video_top_n"};
constexpr MethodSignature kSignature = {"PrefixSearch.from_internal_data_v2", kParams, 6, 6};

// Every array: the items of a sequence, each converted, replacing what `out`
// held (its storage is reused).
template <class Array, class Convert>
void read_sequence(PyObject* seq, Array& out, Convert&& convert) {
  out.clear();
  for_each_in_sequence(
      seq, [&](std::size_t n) { out.reserve(n); },
      [&](PyObject* item) { out.push_back(convert(item)); });
}

template <class Array, class Convert>
Array to_array(PyObject* seq, Convert&& convert) {
  Array out;
  read_sequence(seq, out, convert);
  return out;
}

// The first code point of a label; U+0000 for the empty string. The whole
// string must encode as UTF-8 (a lone surrogate raises UnicodeEncodeError).
char32_t first_char(PyObject* item) {
  if (!PyUnicode_Check(item)) throw_cannot_convert(item, "PyString");
  if (PyUnicode_IS_ASCII(item)) {
    return PyUnicode_GET_LENGTH(item) == 0 ? U'\0' : PyUnicode_READ_CHAR(item, 0);
  }
  if (PyUnicode_AsUTF8AndSize(item, nullptr) == nullptr) throw PythonError{};
  return PyUnicode_READ_CHAR(item, 0);
}

// A video id: bytes, or a sequence of byte values.
std::vector<std::uint8_t> to_byte_string(PyObject* item) {
  if (PyBytes_Check(item)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(item));
    return {data, data + PyBytes_GET_SIZE(item)};
  }
  return to_array<std::vector<std::uint8_t>>(item, to_u8);
}

// One item of `payloads`, converted and handed to the construction.
void add_payload(PyObject* item, index::Construction& c, std::vector<std::uint32_t>& ids,
                 std::vector<std::uint32_t>& counts) {
  if (item == Py_None) {
    c.add_absent_payload();
    return;
  }
  if (!PyTuple_Check(item)) throw_cannot_convert(item, "PyTuple");
  if (PyTuple_GET_SIZE(item) != 3) {
    throw InvalidInput(common::messages::kPayloadTupleSize);
  }
  const std::uint32_t total = to_u32(PyTuple_GET_ITEM(item, 0));
  read_sequence(PyTuple_GET_ITEM(item, 1), ids, to_u32);
  read_sequence(PyTuple_GET_ITEM(item, 2), counts, to_u32);
  c.add_payload(total, ids, counts);
}

PyObject* build(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[kMaxParams];
  bind_arguments(kSignature, args, nargs, kwnames, a);

  using index::Construction;
  auto node_shifts =
      convert_arg("node_shifts", [&] { return to_array<Construction::Shifts>(a[0], to_u32); });
  auto child_labels =
      convert_arg("child_labels", [&] { return to_array<Construction::Labels>(a[1], first_char); });
  // Payload items are kept as references and converted after the checks of
  // the lengths and edges.
  auto payloads = convert_arg("payloads", [&] {
    return to_array<std::vector<Ref>>(a[2], [](PyObject* item) { return Ref(Py_NewRef(item)); });
  });
  auto child_transitions = convert_arg(
      "child_transitions", [&] { return to_array<Construction::Transitions>(a[3], to_u32); });
  const auto video_index = convert_arg("video_index", [&] {
    return to_array<std::vector<std::vector<std::uint8_t>>>(a[4], to_byte_string);
  });
  const std::uint64_t video_top_n = convert_arg("video_top_n", [&] { return to_u64(a[5]); });

  Construction c(std::move(node_shifts), std::move(child_labels), payloads.size(),
                 std::move(child_transitions));
  std::vector<std::uint32_t> ids, counts;
  for (const Ref& item : payloads) add_payload(item.get(), c, ids, counts);
  payloads.clear();
  return wrap(std::move(c).finish(video_index, video_top_n));
}

}  // namespace

PyObject* from_internal_data_v2(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&] { return build(args, nargs, kwnames); });
}

}  // namespace tessaloom::lib
