// tessaloom._native.load_index(data, length): the index saved in exactly the
// first `length` bytes of `data`, for index files, whose trailer declares
// that length. The decode must end exactly there: a cut index (the decode
// needs bytes past `length`) or bytes left over before `length` are refused,
// so the bytes after the index (the trailer) are never read as part of it.
// Like PrefixSearch.from_bytes, the payloads stay in `data` when it is an
// exact bytes object, which the index then keeps.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "lib/binding.h"
#include "native/native.h"
#include "prefix/trie/trie_format.h"

namespace tessaloom::native {

using prefix::trie::decode_trie;
using prefix::trie::Trie;

namespace {

constexpr const char* kParams[] = {"data", "length"};
constexpr lib::MethodSignature kSignature = {"load_index", kParams, 2, 2};

PyObject* load(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[lib::kMaxParams];
  lib::bind_arguments(kSignature, args, nargs, kwnames, a);
  if (!PyBytes_Check(a[0])) {
    lib::convert_arg("data", [&] { lib::throw_cannot_convert(a[0], "PyBytes"); });
  }
  const std::uint64_t length = lib::convert_arg("length", [&] { return lib::to_u64(a[1]); });
  const auto size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(a[0]));
  if (length > size) {
    PyErr_Format(PyExc_ValueError, "length %llu is past the end of the %llu bytes",
                 static_cast<unsigned long long>(length), static_cast<unsigned long long>(size));
    throw lib::PythonError{};
  }
  const std::span<const std::uint8_t> region(
      reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(a[0])),
      static_cast<std::size_t>(length));
  // As in from_bytes: an exact bytes object is kept, a subclass's payloads copied.
  std::shared_ptr<const void> owner;
  if (PyBytes_CheckExact(a[0])) {
    owner.reset(Py_NewRef(a[0]),
                [](const void* o) { Py_DECREF(static_cast<PyObject*>(const_cast<void*>(o))); });
  }
  std::size_t end = 0;
  Trie trie = decode_trie(region, std::move(owner), &end);
  if (end != region.size()) {
    PyErr_Format(PyExc_ValueError, "the index ends after %llu of its %llu bytes",
                 static_cast<unsigned long long>(end), static_cast<unsigned long long>(length));
    throw lib::PythonError{};
  }
  return lib::wrap(index::Index(std::move(trie)));
}

}  // namespace

PyObject* load_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lib::guarded([&] { return load(args, nargs, kwnames); });
}

const char kLoadIndexDoc[] =
    "load_index(data, length)\n--\n\n"
    "The PrefixSearch saved in exactly the first `length` bytes of `data`.\n"
    "\n"
    "For index files, whose trailer declares the saved index's length: the\n"
    "decode must end exactly at `length`, so an index cut short, or bytes\n"
    "left over inside it, raise ValueError, and the bytes after it are never\n"
    "read. `data` is bytes, kept by the index (not copied) when it is an\n"
    "exact bytes object, as with PrefixSearch.from_bytes.\n";

}  // namespace tessaloom::native
