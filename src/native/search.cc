// tessaloom._native's search functions: the index of a PrefixSearch read in
// place, the GIL released while splitting, walking, pooling and ranking. The
// package's tessaloom.search and tessaloom.search_many check the other
// arguments; these take the texts.
//
// A text is split natively (search/words.h). An ASCII str is read in place:
// the terms rule only folds its letters to lower case. Other text is
// normalised (NFKC) and case-folded by the interpreter's own
// unicodedata.normalize and str.casefold, exactly as tessaloom.terms does,
// and split by the character table generated from the same interpreter.
#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "native/native.h"
#include "search/search.h"
#include "search/words.h"

namespace tessaloom::native {

using common::InvalidInput;
using prefix::trie::IdMode;
using prefix::trie::Trie;

namespace {

using lib::check;
using lib::PythonError;
using lib::Ref;

// Texts and hits are converted this many at a time, and other text folded
// up to this many characters at a time, with the GIL let go between
// batches, so that other threads are never held off for long (a batch takes
// a few milliseconds at most).
constexpr Py_ssize_t kBatch = 512;
constexpr std::size_t kHitBatch = 8192;
constexpr Py_ssize_t kFoldBatch = Py_ssize_t{1} << 20;

const index::Index& index_arg(PyObject* index) {
  if (!Py_IS_TYPE(index, lib::prefix_search_type)) {
    fail(PyExc_TypeError,
         std::string("index must be a PrefixSearch, not ") + Py_TYPE(index)->tp_name);
  }
  return lib::index_of(index);
}

// The __name__ of o's type, as the package's messages give it.
std::string type_name_of(PyObject* o) {
  Ref name(PyType_GetName(Py_TYPE(o)));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
  }
  return text;
}

// A text as search::query_words takes it: an ASCII str's own bytes, in
// place, or other text normalised and folded by the interpreter, as UTF-8
// with lone surrogates kept as bytes that are not UTF-8 (which separate
// words, as the terms rule has them).
struct QueryText {
  std::string_view utf8;
  Ref folded;  // holds the folded bytes of other text
};

PyObject* folded_utf8(PyObject* text) {
  // Kept for the life of the process (the module loads in the main
  // interpreter only); made under the GIL on first need.
  static const Folder* folder = nullptr;
  if (folder == nullptr) folder = new Folder();
  Ref folded = folder->fold(text);
  return check(PyUnicode_AsEncodedString(folded.get(), "utf-8", "surrogatepass"));
}

// `text` must be a str, which the caller keeps alive as long as the view.
QueryText query_text(PyObject* text) {
  QueryText out;
  if (PyUnicode_MAX_CHAR_VALUE(text) < 0x80) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) throw PythonError{};
    out.utf8 = {utf8, static_cast<std::size_t>(size)};
    return out;
  }
  out.folded.reset(folded_utf8(text));
  out.utf8 = {PyBytes_AS_STRING(out.folded.get()),
              static_cast<std::size_t>(PyBytes_GET_SIZE(out.folded.get()))};
  return out;
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

// The options search and search_many share, converted in their order.
struct Options {
  bool prefix;
  std::size_t limit;
  std::optional<std::uint32_t> max_dist;
  bool transpositions;
};

// From a[0..3]: prefix, limit, max_dist, transpositions (a braced list
// converts left to right, so the first bad one is the one reported).
Options options_of(PyObject* const* a) {
  return {lib::to_bool(a[0]), to_limit(a[1]), to_max_dist(a[2]), lib::to_bool(a[3])};
}

std::vector<search::Hit> search_words(const index::Index& index,
                                      std::span<const search::Word> words, const Options& o) {
  return search::search(index.trie(), index.layout(), index.video_norms(), words, o.limit,
                        o.max_dist, o.transpositions);
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
  Ref score(check(PyFloat_FromDouble(hit.score)));
  Ref words(check(PyLong_FromUnsignedLong(hit.words)));
  Ref items(check(PyTuple_New(3)));
  PyTuple_SET_ITEM(items.get(), 0, key.release());
  PyTuple_SET_ITEM(items.get(), 1, score.release());
  PyTuple_SET_ITEM(items.get(), 2, words.release());
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

PyObject* word_list(const std::vector<search::Word>& words) {
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(words.size()))));
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::vector<char32_t>& text = words[i].text;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(),
                                                    static_cast<Py_ssize_t>(text.size()))));
  }
  return list.release();
}

void require_str(PyObject* text, const std::string& name) {
  if (!PyUnicode_Check(text)) {
    fail(PyExc_TypeError, name + " must be a str, not " + type_name_of(text));
  }
}

// Runs job(i) for every i below count on n_threads threads, this one among
// them. Returns the position of the first job that threw (count when none
// did) with its exception in `error`; no job past it is started.
template <class Job>
std::size_t run_parallel(std::size_t count, std::size_t n_threads, Job&& job,
                         std::exception_ptr& error) {
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> failed_at{count};
  std::vector<std::exception_ptr> errors(count);
  auto work = [&] {
    for (;;) {
      const std::size_t i = next.fetch_add(1);
      if (i >= count || failed_at.load() < i) return;
      try {
        job(i);
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
  const std::size_t first = failed_at.load();
  if (first < count) error = errors[first];
  return first;
}

// The words of texts[i], a refusal naming the text.
std::vector<search::Word> words_of(const QueryText& text, bool prefix, std::size_t i) {
  try {
    return search::query_words(text.utf8, prefix);
  } catch (const InvalidInput& e) {
    throw InvalidInput("texts[" + std::to_string(i) + "]: " + e.what());
  }
}

constexpr const char* kSearchParams[] = {"index",    "text",           "prefix", "limit",
                                         "max_dist", "transpositions", "hit"};
constexpr lib::MethodSignature kSearchSignature = {"search", kSearchParams, 7, 6};

PyObject* run_search(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[lib::kMaxParams];
  lib::bind_arguments(kSearchSignature, args, nargs, kwnames, a);
  const index::Index& index = index_arg(a[0]);
  require_str(a[1], "text");
  const Options options = options_of(a + 2);
  PyTypeObject* const hit_type = hit_type_arg(a[6]);
  const QueryText text = query_text(a[1]);
  std::vector<search::Hit> hits;
  {
    lib::WithoutGil unlocked;
    hits = search_words(index, search::query_words(text.utf8, options.prefix), options);
  }
  std::size_t converted = 0;
  return hit_list(index.trie(), hits, hit_type, converted);
}

constexpr const char* kManyParams[] = {"index",    "texts",          "prefix",  "limit",
                                       "max_dist", "transpositions", "workers", "hit"};
constexpr lib::MethodSignature kManySignature = {"search_many", kManyParams, 8, 7};

PyObject* run_search_many(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[lib::kMaxParams];
  lib::bind_arguments(kManySignature, args, nargs, kwnames, a);
  const index::Index& index = index_arg(a[0]);
  PyObject* items = a[1];
  if (!PyTuple_Check(items)) fail(PyExc_TypeError, "texts must be a tuple of str");
  const Options options = options_of(a + 2);
  const auto workers_arg = lib::to_non_negative(a[6]);
  if (!workers_arg || *workers_arg == 0)
    fail(PyExc_ValueError, "workers must be a positive integer");
  PyTypeObject* const hit_type = hit_type_arg(a[7]);

  // The texts' bytes, read in place (the tuple keeps them alive) or folded.
  const std::size_t count = static_cast<std::size_t>(PyTuple_GET_SIZE(items));
  std::vector<QueryText> texts(count);
  std::size_t not_str = count;  // the first item that is not a str
  Py_ssize_t batch_chars = 0;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* text = PyTuple_GET_ITEM(items, static_cast<Py_ssize_t>(i));
    if (!PyUnicode_Check(text)) {
      not_str = i;
      break;
    }
    batch_chars += PyUnicode_GET_LENGTH(text);
    if ((i > 0 && i % kBatch == 0) || batch_chars > kFoldBatch) {
      pause_gil();
      batch_chars = 0;
    }
    texts[i] = query_text(text);
  }
  const std::size_t n_threads =
      static_cast<std::size_t>(std::min<std::uint64_t>({*workers_arg, count, 1024}));

  std::vector<std::vector<search::Word>> words(count);
  std::vector<std::vector<search::Hit>> results(count);
  {
    lib::WithoutGil unlocked;
    // Every text is split before any is searched, so that a refused text
    // raises ValueError before an internal fault on another could.
    std::exception_ptr error;
    auto split_one = [&](std::size_t i) { words[i] = words_of(texts[i], options.prefix, i); };
    auto search_one = [&](std::size_t i) { results[i] = search_words(index, words[i], options); };
    const std::size_t split = std::min(count, not_str);
    if (run_parallel(split, n_threads, split_one, error) < split) std::rethrow_exception(error);
    if (not_str == count && run_parallel(count, n_threads, search_one, error) < count) {
      std::rethrow_exception(error);
    }
  }
  if (not_str < count) {
    require_str(PyTuple_GET_ITEM(items, static_cast<Py_ssize_t>(not_str)),
                "texts[" + std::to_string(not_str) + "]");
  }

  Ref out(check(PyList_New(static_cast<Py_ssize_t>(count))));
  std::size_t converted = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && i % kBatch == 0) {
      pause_gil();
      converted = 0;
    }
    std::vector<search::Hit>& hits = results[i];
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i),
                    hit_list(index.trie(), hits, hit_type, converted));
    std::vector<search::Hit>().swap(hits);
  }
  return out.release();
}

constexpr const char* kWordsParams[] = {"text", "prefix"};
constexpr lib::MethodSignature kWordsSignature = {"query_words", kWordsParams, 2, 2};

PyObject* run_query_words(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[lib::kMaxParams];
  lib::bind_arguments(kWordsSignature, args, nargs, kwnames, a);
  require_str(a[0], "text");
  const bool prefix = lib::to_bool(a[1]);
  const QueryText text = query_text(a[0]);
  std::vector<search::Word> words;
  {
    lib::WithoutGil unlocked;
    words = search::query_words(text.utf8, prefix);
  }
  Ref list(check(word_list(words)));
  const bool open_end = !words.empty() && words.back().prefix;
  return check(Py_BuildValue("(NO)", list.release(), open_end ? Py_True : Py_False));
}

constexpr const char* kBudgetParams[] = {"word", "max_dist"};
constexpr lib::MethodSignature kBudgetSignature = {"word_budget", kBudgetParams, 2, 1};

PyObject* run_word_budget(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[lib::kMaxParams];
  lib::bind_arguments(kBudgetSignature, args, nargs, kwnames, a);
  require_str(a[0], "word");
  const auto max_dist = to_max_dist(a[1]);
  return PyLong_FromUnsignedLong(
      search::word_budget(static_cast<std::size_t>(PyUnicode_GET_LENGTH(a[0])), max_dist));
}

}  // namespace

PyObject* search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lib::guarded([&] { return run_search(args, nargs, kwnames); });
}

PyObject* search_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lib::guarded([&] { return run_search_many(args, nargs, kwnames); });
}

PyObject* query_words(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lib::guarded([&] { return run_query_words(args, nargs, kwnames); });
}

PyObject* word_budget(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lib::guarded([&] { return run_word_budget(args, nargs, kwnames); });
}

const char kSearchDoc[] =
    "search(index, text, prefix, limit, max_dist, transpositions, hit=None)\n--\n\n"
    "Hits (video key, score, words) for a text, as instances of `hit` (a\n"
    "tuple subclass) or tuples; see tessaloom.search.\n";

const char kSearchManyDoc[] =
    "search_many(index, texts, prefix, limit, max_dist, transpositions, workers, hit=None)\n"
    "--\n\n"
    "search for each of a tuple of texts on `workers` threads; see\n"
    "tessaloom.search_many.\n";

const char kQueryWordsDoc[] =
    "query_words(text, prefix)\n--\n\n"
    "(words, last word is a prefix) as search takes them from `text`; see\n"
    "tessaloom.searching.query_words.\n";

const char kWordBudgetDoc[] =
    "word_budget(word, max_dist=None)\n--\n\n"
    "The edits `word` may be off by in search: `max_dist` when given, else\n"
    "0 for 1 to 3 characters, 1 for 4 to 7, 2 for 8 or more.\n";

}  // namespace tessaloom::native
