// PrefixSearch.from_internal_data_v2: converts the six arrays, checks them in
// a fixed order, assembles the Trie, propagates payloads and wraps the result.
// Any failure leaves nothing behind.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "lib/binding.h"
#include "lib/methods.h"

namespace tessaloom::lib {
namespace {

constexpr const char* kParams[] = {"node_shifts",       "child_labels",
                                   "payloads",          "child_transitions",
                                   "video_index",       "video_top_n"};
constexpr MethodSpec kSpec = {"from_internal_data_v2", kParams, 6, 6};

[[noreturn]] void throw_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw PythonError{};
}

std::vector<std::uint32_t> to_u32_vector(PyObject* seq) {
  std::vector<std::uint32_t> out;
  for_each_in_sequence(
      seq, [&](std::size_t n) { out.reserve(n); },
      [&](PyObject* item) { out.push_back(to_u32(item)); });
  return out;
}

// The first code point of a label; U+0000 for the empty string. The whole
// string must encode as UTF-8 (a lone surrogate raises UnicodeEncodeError).
char32_t first_char(PyObject* item) {
  if (!PyUnicode_Check(item)) throw_cannot_convert(item, "PyString");
  if (PyUnicode_IS_ASCII(item)) {
    return PyUnicode_GET_LENGTH(item) == 0 ? U'\0'
                                           : PyUnicode_READ_CHAR(item, 0);
  }
  if (PyUnicode_AsUTF8AndSize(item, nullptr) == nullptr) throw PythonError{};
  return PyUnicode_READ_CHAR(item, 0);
}

std::vector<char32_t> to_labels(PyObject* seq) {
  std::vector<char32_t> out;
  for_each_in_sequence(
      seq, [&](std::size_t n) { out.reserve(n); },
      [&](PyObject* item) { out.push_back(first_char(item)); });
  return out;
}

// Payload items are kept as references and converted after the length checks.
std::vector<Ref> to_object_vector(PyObject* seq) {
  std::vector<Ref> out;
  for_each_in_sequence(
      seq, [&](std::size_t n) { out.reserve(n); },
      [&](PyObject* item) { out.emplace_back(Py_NewRef(item)); });
  return out;
}

std::vector<std::uint8_t> to_byte_string(PyObject* item) {
  if (PyBytes_Check(item)) {
    const auto* data =
        reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(item));
    return {data, data + PyBytes_GET_SIZE(item)};
  }
  std::vector<std::uint8_t> out;
  for_each_in_sequence(
      item, [&](std::size_t n) { out.reserve(n); },
      [&](PyObject* byte) { out.push_back(to_u8(byte)); });
  return out;
}

std::vector<std::vector<std::uint8_t>> to_video_index(PyObject* seq) {
  std::vector<std::vector<std::uint8_t>> out;
  for_each_in_sequence(
      seq, [&](std::size_t n) { out.reserve(n); },
      [&](PyObject* item) { out.push_back(to_byte_string(item)); });
  return out;
}

// One item of `payloads` that is not None, converted into the table.
void push_payload(PyObject* item, PayloadTable& table,
                  std::vector<std::uint32_t>& ids,
                  std::vector<std::uint32_t>& counts) {
  if (!PyTuple_Check(item)) throw_cannot_convert(item, "PyTuple");
  if (PyTuple_GET_SIZE(item) != 3) {
    throw_value_error("Payload tuple must have 3 elements");
  }
  const std::uint32_t total = to_u32(PyTuple_GET_ITEM(item, 0));
  auto read_list = [](PyObject* list, std::vector<std::uint32_t>& out) {
    out.clear();
    for_each_in_sequence(
        list, [&](std::size_t n) { out.reserve(n); },
        [&](PyObject* v) { out.push_back(to_u32(v)); });
  };
  read_list(PyTuple_GET_ITEM(item, 1), ids);
  read_list(PyTuple_GET_ITEM(item, 2), counts);
  if (ids.size() != counts.size()) {
    throw_value_error("video_ids and video_counts length mismatch");
  }
  table.push({total, ids, counts});
}

PyObject* build(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[kMaxParams];
  bind_arguments(kSpec, args, nargs, kwnames, a);

  Trie trie;
  trie.node_shifts = convert_arg("node_shifts", [&] { return to_u32_vector(a[0]); });
  trie.child_labels = convert_arg("child_labels", [&] { return to_labels(a[1]); });
  std::vector<Ref> payloads =
      convert_arg("payloads", [&] { return to_object_vector(a[2]); });
  trie.child_transitions =
      convert_arg("child_transitions", [&] { return to_u32_vector(a[3]); });
  const auto video_index =
      convert_arg("video_index", [&] { return to_video_index(a[4]); });
  const std::uint64_t video_top_n =
      convert_arg("video_top_n", [&] { return to_u64(a[5]); });

  const std::size_t n = trie.child_labels.size();
  if (trie.node_shifts.size() != n) {
    throw_value_error("node_shifts len " +
                      std::to_string(trie.node_shifts.size()) +
                      " != child_labels len " + std::to_string(n));
  }
  if (payloads.size() != n) {
    throw_value_error("payloads len " + std::to_string(payloads.size()) +
                      " != child_labels len " + std::to_string(n));
  }
  for (std::size_t e = 0; e < trie.child_transitions.size(); ++e) {
    if (trie.child_transitions[e] >= n) {
      throw_value_error("child_transitions[" + std::to_string(e) + "] = " +
                        std::to_string(trie.child_transitions[e]) +
                        " out of range [0.." + std::to_string(n) + ")");
    }
  }

  trie.terminal.resize(n);
  PayloadTable supplied;
  supplied.reserve(n, 0);
  std::vector<std::uint32_t> ids, counts;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = payloads[i].get();
    if (item == Py_None) {
      supplied.push_absent();
    } else {
      trie.terminal[i] = 1;
      push_payload(item, supplied, ids, counts);
    }
  }
  payloads.clear();

  bool all16 = true, all4 = true;
  for (const auto& id : video_index) {
    all16 = all16 && id.size() == 16;
    all4 = all4 && id.size() == 4;
  }
  if (video_index.empty() || all16) {
    trie.id_mode = IdMode::Uuid;
    trie.video_uuids.resize(video_index.size());
    for (std::size_t v = 0; v < video_index.size(); ++v) {
      std::memcpy(trie.video_uuids[v].data(), video_index[v].data(), 16);
    }
  } else if (all4) {
    trie.id_mode = IdMode::Int32;
    trie.video_int32_ids.resize(video_index.size());
    for (std::size_t v = 0; v < video_index.size(); ++v) {
      const auto& b = video_index[v];
      trie.video_int32_ids[v] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 |
                                std::uint32_t{b[2]} << 16 |
                                std::uint32_t{b[3]} << 24;
    }
  } else {
    throw_value_error(
        "video_index entries must be all 16 bytes (UUID) or all 4 bytes "
        "(int32)");
  }

  trie.propagate(supplied, static_cast<std::size_t>(video_top_n));
  return wrap_trie(std::move(trie));
}

}  // namespace

PyObject* from_internal_data_v2(PyObject*, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return build(args, nargs, kwnames); });
}

}  // namespace tessaloom::lib
