// tessaloom._native.index_counts(index): what an index holds, read from the
// index in place.
#include <algorithm>
#include <cstddef>

#include "index/index.h"
#include "lib/binding.h"
#include "native/native.h"

namespace tessaloom::native {

using prefix::trie::IdMode;
using prefix::trie::Trie;

namespace {

constexpr const char* kParams[] = {"index"};
constexpr lib::MethodSignature kSignature = {"index_counts", kParams, 1, 1};

PyObject* counts(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[lib::kMaxParams];
  lib::bind_arguments(kSignature, args, nargs, kwnames, a);
  const index::Index& index = lib::index_arg(a[0]);
  const Trie& trie = index.trie();
  const auto terms = static_cast<std::size_t>(std::count_if(
      trie.terminal.begin(), trie.terminal.end(), [](std::uint8_t t) { return t != 0; }));
  return Py_BuildValue("(nnns)", static_cast<Py_ssize_t>(trie.node_count()),
                       static_cast<Py_ssize_t>(terms), static_cast<Py_ssize_t>(trie.videos.size()),
                       trie.videos.kind() == IdMode::Uuid ? "uuid" : "integer");
}

}  // namespace

PyObject* index_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lib::guarded([&] { return counts(args, nargs, kwnames); });
}

const char kIndexCountsDoc[] =
    "index_counts(index)\n--\n\n"
    "(nodes, terms, videos, id kind) of a PrefixSearch: its trie nodes, the\n"
    "nodes that end a term, the entries of its video table, and \"uuid\" or\n"
    "\"integer\" for the kind of its video ids.\n";

}  // namespace tessaloom::native
