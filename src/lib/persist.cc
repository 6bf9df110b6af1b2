// PrefixSearch.to_bytes and PrefixSearch.from_bytes: the saved form of an
// index (prefix/trie/trie_format.h). Saving writes straight into the new
// bytes object, sized once; loading decodes straight from the argument's
// buffer into a local Trie, and only a complete Trie becomes an object.
// The payloads stay in the argument's buffer when it is an exact bytes
// object (see EncodedPayloads).
#include <cstdint>
#include <memory>
#include <span>

#include "lib/binding.h"
#include "lib/methods.h"
#include "prefix/trie/trie_format.h"

namespace tessaloom::lib {

using prefix::trie::decode_trie;
using prefix::trie::encode_trie;
using prefix::trie::encoded_size;
using prefix::trie::Trie;

namespace {

constexpr const char* kParams[] = {"b"};
constexpr MethodSignature kSignature = {"PrefixSearch.from_bytes", kParams, 1, 1};

PyObject* save(PyObject* self) {
  const Trie& trie = index_of(self).trie();
  const std::size_t size = encoded_size(trie);
  if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
  Ref out(check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
  auto* buffer = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
  encode_trie(trie, std::span<std::uint8_t>(buffer, size));
  return out.release();
}

std::span<const std::uint8_t> bytes_arg(PyObject* b) {
  if (!PyBytes_Check(b)) throw_cannot_convert(b, "PyBytes");
  return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(b)),
          static_cast<std::size_t>(PyBytes_GET_SIZE(b))};
}

PyObject* load(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[kMaxParams];
  bind_arguments(kSignature, args, nargs, kwnames, a);
  const std::span<const std::uint8_t> input = convert_arg("b", [&] { return bytes_arg(a[0]); });
  // An exact bytes object is immutable and refers to nothing, so the index
  // can keep its payloads where they lie in it: it holds a reference for as
  // long as it uses them, released by the index's destructor, which, like
  // this call, runs with the GIL held. An instance of a subclass can refer
  // back to the index (through its attributes), and the index takes no part
  // in garbage collection, so such a cycle would never be freed: its payload
  // section is copied instead and no reference is kept.
  std::shared_ptr<const void> owner;
  if (PyBytes_CheckExact(a[0])) {
    owner.reset(Py_NewRef(a[0]),
                [](const void* o) { Py_DECREF(static_cast<PyObject*>(const_cast<void*>(o))); });
  }
  return wrap(index::Index(decode_trie(input, std::move(owner))));
}

}  // namespace

PyObject* to_bytes(PyObject* self, PyObject*) {
  return guarded([&] { return save(self); });
}

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return load(args, nargs, kwnames); });
}

}  // namespace tessaloom::lib
