// tessaloom._native's search functions: the index of a PrefixSearch read in
// place, the GIL released while walking, pooling and ranking. The package's
// tessaloom.search and tessaloom.search_many check the arguments and split
// the texts into words; these take the words.
#include <algorithm>
#include <atomic>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "native/native.h"
#include "ranking/ranking.h"
#include "search/search.h"

namespace tessaloom::native {

using common::decode_utf8;
using prefix::trie::IdMode;
using prefix::trie::Trie;

namespace {

using lib::check;
using lib::PythonError;
using lib::Ref;

// Texts and hits are converted this many at a time, with the GIL let go
// between batches, so that other threads are never held off for long (a
// batch takes a few milliseconds).
constexpr Py_ssize_t kBatch = 512;
constexpr std::size_t kHitBatch = 8192;

[[noreturn]] void fail(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

const index::Index& index_arg(PyObject* index) {
  if (!Py_IS_TYPE(index, lib::prefix_search_type)) {
    fail(PyExc_TypeError,
         std::string("index must be a PrefixSearch, not ") + Py_TYPE(index)->tp_name);
  }
  return lib::index_of(index);
}

// A query as the core takes it: its words from a list of str, the last one
// a prefix when `prefix`.
std::vector<search::Word> to_words(PyObject* list, bool prefix) {
  if (!PyList_Check(list)) fail(PyExc_TypeError, "words must be a list of str");
  const Py_ssize_t n = PyList_GET_SIZE(list);
  if (static_cast<std::size_t>(n) > search::kMaxWords) {
    fail(PyExc_ValueError, "a query has at most " + std::to_string(search::kMaxWords) + " words");
  }
  std::vector<search::Word> words(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* w = PyList_GET_ITEM(list, i);
    if (!PyUnicode_Check(w)) fail(PyExc_TypeError, "words must be a list of str");
    words[static_cast<std::size_t>(i)].text = decode_utf8(lib::to_utf8(w));
  }
  if (prefix && n > 0) words.back().prefix = true;
  return words;
}

std::optional<std::uint32_t> to_max_dist(PyObject* o) {
  if (o == nullptr || o == Py_None) return std::nullopt;
  const auto v = lib::to_non_negative(o);
  if (!v || *v > search::kMaxDist) {
    fail(PyExc_ValueError,
         "max_dist must be None or an integer from 0 to " + std::to_string(search::kMaxDist));
  }
  return static_cast<std::uint32_t>(*v);
}

std::size_t to_limit(PyObject* o) {
  const auto v = lib::to_non_negative(o);
  if (!v) fail(PyExc_ValueError, "limit must be a non-negative integer");
  return *v > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(*v);
}

// The video's key: its integer id, or its UUID as text.
PyObject* key_of(const Trie& trie, std::uint32_t video) {
  if (trie.videos.kind() == IdMode::Int32) {
    return PyLong_FromUnsignedLong(trie.videos.integer(video));
  }
  const std::string text = trie.videos.key(video);
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Lets other threads take the GIL for a moment, between batches.
void pause_gil() { lib::WithoutGil unlocked; }

// The class hits are made of: a subclass of tuple (the package's Hit named
// tuple), or null for plain tuples.
PyTypeObject* hit_type_arg(PyObject* hit) {
  if (hit == nullptr || hit == Py_None) return nullptr;
  if (!PyType_Check(hit) ||
      !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(hit), &PyTuple_Type)) {
    fail(PyExc_TypeError, "hit must be a subclass of tuple or None");
  }
  return reinterpret_cast<PyTypeObject*>(hit);
}

// One hit, (key, score, words), as an instance of `type` (null: a tuple).
// tuple's own constructor makes the instance, as tuple.__new__(type, items)
// would, without a call into Python.
PyObject* make_hit(const Trie& trie, const search::Hit& hit, PyTypeObject* type) {
  Ref key(check(key_of(trie, hit.video)));
  Ref items(
      check(Py_BuildValue("(Odk)", key.get(), hit.score, static_cast<unsigned long>(hit.words))));
  if (type == nullptr) return items.release();
  Ref args(check(PyTuple_Pack(1, items.get())));
  return check(PyTuple_Type.tp_new(type, args.get(), nullptr));
}

// The hits as a list; `converted` counts the hits converted since the GIL
// was last let go.
PyObject* hit_list(const Trie& trie, const std::vector<search::Hit>& hits, PyTypeObject* type,
                   std::size_t& converted) {
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(hits.size()))));
  for (std::size_t i = 0; i < hits.size(); ++i) {
    if (++converted >= kHitBatch) {
      pause_gil();
      converted = 0;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make_hit(trie, hits[i], type));
  }
  return list.release();
}

constexpr const char* kSearchParams[] = {"index",    "words",          "prefix", "limit",
                                         "max_dist", "transpositions", "hit"};
constexpr lib::MethodSignature kSearchSignature = {"search", kSearchParams, 7, 6};

PyObject* run_search(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[lib::kMaxParams];
  lib::bind_arguments(kSearchSignature, args, nargs, kwnames, a);
  const index::Index& index = index_arg(a[0]);
  const Trie& trie = index.trie();
  const std::vector<search::Word> words = to_words(a[1], lib::to_bool(a[2]));
  const std::size_t limit = to_limit(a[3]);
  const auto max_dist = to_max_dist(a[4]);
  const bool transpositions = lib::to_bool(a[5]);
  PyTypeObject* const hit_type = hit_type_arg(a[6]);
  std::vector<search::Hit> hits;
  {
    lib::WithoutGil unlocked;
    hits = search::search(trie, index.layout(), index.video_norms(), words, limit, max_dist,
                          transpositions);
  }
  std::size_t converted = 0;
  return hit_list(trie, hits, hit_type, converted);
}

constexpr const char* kManyParams[] = {"index",          "queries", "limit", "max_dist",
                                       "transpositions", "workers", "hit"};
constexpr lib::MethodSignature kManySignature = {"search_many", kManyParams, 7, 6};

PyObject* run_search_many(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[lib::kMaxParams];
  lib::bind_arguments(kManySignature, args, nargs, kwnames, a);
  const index::Index& index = index_arg(a[0]);
  const Trie& trie = index.trie();
  PyObject* queries = a[1];
  if (!PyList_Check(queries)) fail(PyExc_TypeError, "queries must be a list of (words, prefix)");
  const std::size_t limit = to_limit(a[2]);
  const auto max_dist = to_max_dist(a[3]);
  const bool transpositions = lib::to_bool(a[4]);
  const auto workers_arg = lib::to_non_negative(a[5]);
  if (!workers_arg || *workers_arg == 0)
    fail(PyExc_ValueError, "workers must be a positive integer");
  PyTypeObject* const hit_type = hit_type_arg(a[6]);

  // The list may not change while its items are read: a copy of its items.
  Ref items(check(PySequence_Tuple(queries)));
  const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
  std::vector<std::vector<search::Word>> texts(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (i > 0 && i % kBatch == 0) pause_gil();
    PyObject* q = PyTuple_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(q) || PyTuple_GET_SIZE(q) != 2) {
      fail(PyExc_TypeError, "queries must be a list of (words, prefix)");
    }
    texts[static_cast<std::size_t>(i)] =
        to_words(PyTuple_GET_ITEM(q, 0), lib::to_bool(PyTuple_GET_ITEM(q, 1)));
  }

  std::vector<std::vector<search::Hit>> results(texts.size());
  {
    lib::WithoutGil unlocked;
    const std::size_t n_threads =
        static_cast<std::size_t>(std::min<std::uint64_t>({*workers_arg, texts.size(), 1024}));
    std::atomic<std::size_t> next{0};
    // The first text that failed, by position, and why: the call raises for
    // it and returns nothing.
    std::atomic<std::size_t> failed_at{texts.size()};
    std::vector<std::exception_ptr> errors(texts.size());
    auto work = [&] {
      for (;;) {
        const std::size_t i = next.fetch_add(1);
        if (i >= texts.size() || failed_at.load() < i) return;
        try {
          results[i] = search::search(trie, index.layout(), index.video_norms(), texts[i], limit,
                                      max_dist, transpositions);
        } catch (...) {
          errors[i] = std::current_exception();
          std::size_t seen = failed_at.load();
          while (i < seen && !failed_at.compare_exchange_weak(seen, i)) {
          }
        }
      }
    };
    std::vector<std::thread> threads;
    try {
      for (std::size_t t = 1; t < n_threads; ++t) threads.emplace_back(work);
    } catch (...) {
      // No more threads to be had: those started and this one do the work.
    }
    work();
    for (std::thread& t : threads) t.join();
    if (failed_at.load() < texts.size()) std::rethrow_exception(errors[failed_at.load()]);
  }

  Ref out(check(PyList_New(count)));
  std::size_t converted = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (i > 0 && i % kBatch == 0) {
      pause_gil();
      converted = 0;
    }
    std::vector<search::Hit>& hits = results[static_cast<std::size_t>(i)];
    PyList_SET_ITEM(out.get(), i, hit_list(trie, hits, hit_type, converted));
    std::vector<search::Hit>().swap(hits);
  }
  return out.release();
}

}  // namespace

PyObject* search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lib::guarded([&] { return run_search(args, nargs, kwnames); });
}

PyObject* search_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lib::guarded([&] { return run_search_many(args, nargs, kwnames); });
}

}  // namespace tessaloom::native
