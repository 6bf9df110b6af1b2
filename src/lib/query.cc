// PrefixSearch.fuzzy_match and PrefixSearch.fuzzy_match_video: argument
// binding and conversion, then the core query, then the result list. Nothing
// is computed unless every argument converts; a fault leaves no partial list.
#include <optional>
#include <string>
#include <vector>

#include "lib/binding.h"
#include "lib/methods.h"

namespace tessaloom::lib {

using common::InternalFault;

namespace {

constexpr const char* kMatchParams[] = {"term", "max_dist", "limit"};
constexpr MethodSignature kMatchSignature = {"PrefixSearch.fuzzy_match", kMatchParams, 3, 1};

constexpr const char* kVideoParams[] = {"term", "max_dist", "limit", "include_prefix_nodes",
                                        "min_score"};
constexpr MethodSignature kVideoSignature = {"PrefixSearch.fuzzy_match_video", kVideoParams, 5, 1};

constexpr std::uint32_t kDefaultMaxDist = 1;

bool absent(PyObject* arg) { return arg == nullptr || arg == Py_None; }

std::uint32_t max_dist_arg(PyObject* arg) {
  if (arg == nullptr) return kDefaultMaxDist;
  return convert_arg("max_dist", [&] { return to_u32(arg); });
}

std::optional<std::size_t> limit_arg(PyObject* arg) {
  if (absent(arg)) return std::nullopt;
  return convert_arg("limit", [&] { return static_cast<std::size_t>(to_u64(arg)); });
}

// The arguments both methods begin with, bound and converted in order.
struct TermArgs {
  std::string_view term;
  std::uint32_t max_dist;
  std::optional<std::size_t> limit;
};

TermArgs bind_term_args(const MethodSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, PyObject** a) {
  bind_arguments(sig, args, nargs, kwnames, a);
  // Braced initialisers run in order: term, then max_dist, then limit.
  return {convert_arg("term", [&] { return to_utf8(a[0]); }), max_dist_arg(a[1]), limit_arg(a[2])};
}

// A str from UTF-8 that the index produced. Labels of a consistent index are
// Unicode scalar values; anything else is a fault of the index, not of the
// caller.
PyObject* text_from_index(const std::string& utf8) {
  PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
  if (s == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PythonError{};
    PyErr_Clear();
    throw InternalFault("a term of the index is not valid Unicode");
  }
  return s;
}

PyObject* match_terms(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[kMaxParams];
  const TermArgs t = bind_term_args(kMatchSignature, args, nargs, kwnames, a);

  const index::Index& index = index_of(self);
  const std::vector<index::MatchResult> matches = index.fuzzy_match(t.term, t.max_dist, t.limit);

  Ref list(check(PyList_New(static_cast<Py_ssize_t>(matches.size()))));
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const auto& m = matches[i];
    Ref text(text_from_index(m.term));
    Ref flag(check(PyLong_FromLong(index.trie().is_terminal(m.node) ? 1 : 0)));
    Ref distance(check(PyLong_FromUnsignedLong(m.distance)));
    PyObject* tuple = check(PyTuple_Pack(3, text.get(), flag.get(), distance.get()));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
  }
  return list.release();
}

PyObject* match_videos(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[kMaxParams];
  const TermArgs t = bind_term_args(kVideoSignature, args, nargs, kwnames, a);
  std::optional<bool> include_prefix_nodes;
  if (!absent(a[3])) {
    include_prefix_nodes = convert_arg("include_prefix_nodes", [&] { return to_bool(a[3]); });
  }
  std::optional<double> min_score;
  if (!absent(a[4])) {
    min_score = convert_arg("min_score", [&] { return to_double(a[4]); });
  }

  const std::vector<index::VideoScore> ranked = index_of(self).fuzzy_match_video(
      t.term, t.max_dist, t.limit, include_prefix_nodes, min_score);

  Ref list(check(PyList_New(static_cast<Py_ssize_t>(ranked.size()))));
  for (std::size_t i = 0; i < ranked.size(); ++i) {
    // Keys are ASCII (hex digits, '-', decimal digits).
    Ref key(check(PyUnicode_FromStringAndSize(ranked[i].key.data(),
                                              static_cast<Py_ssize_t>(ranked[i].key.size()))));
    Ref score(check(PyFloat_FromDouble(ranked[i].score)));
    PyObject* tuple = check(PyTuple_Pack(2, key.get(), score.get()));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
  }
  return list.release();
}

}  // namespace

PyObject* fuzzy_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return match_terms(self, args, nargs, kwnames); });
}

PyObject* fuzzy_match_video(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&] { return match_videos(self, args, nargs, kwnames); });
}

}  // namespace tessaloom::lib
