// tessaloom._native.build_texts(entries, video_top_n=100, progress=None,
// titles=False) and build_catalogue(data, format, video_top_n=100,
// progress=None, titles=False): indexes from texts, split into terms and
// counted natively (catalogue/text_index.h) and built like build_index.
//
// ASCII text is split in C++ alone. Other text is normalised (NFKC) and
// case-folded by the interpreter's own unicodedata.normalize and
// str.casefold, so that the terms equal tessaloom.terms on every CPython,
// and split by the character table generated from the same interpreter.
// The texts are read with the GIL held; every few thousand texts the reader
// checks for signals and lets other threads run.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "catalogue/reader.h"
#include "catalogue/text_index.h"
#include "lib/binding.h"
#include "native/native.h"

namespace tessaloom::native {
namespace {

using catalogue::TextIndex;
using catalogue::VideoKey;
using lib::check;
using lib::PythonError;
using lib::Ref;

constexpr Py_ssize_t kPauseEvery = 4096;
constexpr Py_ssize_t kProgressEvery = 1'000'000;

// Every kPauseEvery texts: pending signals (Ctrl-C) stop the build, and
// other threads get the GIL for a moment. Every million, progress hears of
// it ("reading"); it hears the total once more when reading ends.
void pause(Py_ssize_t done, PyObject* progress) {
  if (done % kPauseEvery != 0) return;
  if (PyErr_CheckSignals() < 0) throw PythonError{};
  { lib::WithoutGil let_others_run; }
  if (done % kProgressEvery == 0) report(progress, "reading", static_cast<std::size_t>(done));
}

std::string_view utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 == nullptr) throw PythonError{};
  return {utf8, static_cast<std::size_t>(size)};
}

[[noreturn]] void refuse(PyObject* type, Py_ssize_t i, const std::string& what) {
  refuse_item("entry", i, type, what);
}

void check_added(Py_ssize_t i, const VideoKey& key, TextIndex::Added added) {
  switch (added) {
    case TextIndex::Added::Ok:
      return;
    case TextIndex::Added::OtherKind:
      refuse_other_kind("entry", i, key);
    case TextIndex::Added::TotalPastU32:
      refuse(PyExc_ValueError, i, "a term's total count passes 2**32-1");
  }
}

// Adds one text given as a str.
TextIndex::Added add_text(TextIndex& index, const Folder& folder, Py_ssize_t i, const VideoKey& key,
                          PyObject* text) {
  if (PyUnicode_IS_ASCII(text)) return index.add_ascii(key, utf8_of(text));
  Ref folded = folder.fold(text);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(folded.get(), &size);
  Ref encoded;
  if (utf8 == nullptr) {
    // Lone surrogates: they part terms, as any character outside the term
    // classes does, and a title cannot hold them.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError{};
    PyErr_Clear();
    if (index.keeps_titles()) {
      refuse(PyExc_ValueError, i, "text holds a lone surrogate, so its title cannot be kept");
    }
    encoded.reset(check(PyUnicode_AsEncodedString(folded.get(), "utf-8", "surrogatepass")));
    utf8 = PyBytes_AS_STRING(encoded.get());
    size = PyBytes_GET_SIZE(encoded.get());
  }
  const std::string_view title_text = index.keeps_titles() ? utf8_of(text) : std::string_view();
  return index.add_folded(key, {utf8, static_cast<std::size_t>(size)}, title_text);
}

// (index, titles section or None, rows or nothing, records).
PyObject* result(Ref index, TextIndex& texts, Py_ssize_t rows) {
  Ref titles;
  if (texts.keeps_titles()) {
    const std::size_t size = texts.titles().encoded_size();
    titles.reset(check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
    texts.titles().encode(PyBytes_AS_STRING(titles.get()));
  } else {
    titles.reset(Py_NewRef(Py_None));
  }
  Ref records(check(PyLong_FromSize_t(texts.records())));
  if (rows < 0) return PyTuple_Pack(3, index.get(), titles.get(), records.get());
  Ref count(check(PyLong_FromSsize_t(rows)));
  return PyTuple_Pack(4, index.get(), titles.get(), count.get(), records.get());
}

PyObject* check_progress(PyObject* progress) {
  if (progress == nullptr) return Py_None;
  if (progress != Py_None && !PyCallable_Check(progress)) {
    fail(PyExc_TypeError, "progress must be callable or None, got " + type_name(progress));
  }
  return progress;
}

constexpr const char* kTextsParams[] = {"entries", "video_top_n", "progress", "titles"};
constexpr lib::MethodSignature kTextsSignature = {"build_texts", kTextsParams, 4, 1};

PyObject* texts(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[lib::kMaxParams];
  lib::bind_arguments(kTextsSignature, args, nargs, kwnames, a);
  const std::size_t top_n = a[1] == nullptr ? 100 : to_top_n(a[1]);
  PyObject* progress = check_progress(a[2]);
  const bool keep_titles = a[3] != nullptr && lib::to_bool(a[3]);
  const Ref uuids = uuid_type();
  const Folder folder;
  TextIndex index(keep_titles);
  Ref iter(check(PyObject_GetIter(a[0])));
  Py_ssize_t i = 0;
  while (PyObject* raw = PyIter_Next(iter.get())) {
    Ref entry(raw);
    if (PyUnicode_Check(entry.get()) || PyBytes_Check(entry.get()) ||
        !PySequence_Check(entry.get())) {
      refuse(PyExc_TypeError, i,
             "entry must be a (video id, text) pair, got " + type_name(entry.get()));
    }
    Ref pair(check(PySequence_Fast(entry.get(), "an entry must be a sequence")));
    if (PySequence_Fast_GET_SIZE(pair.get()) != 2) {
      refuse(PyExc_TypeError, i,
             "entry must be a (video id, text) pair, got " +
                 std::to_string(PySequence_Fast_GET_SIZE(pair.get())) + " items");
    }
    PyObject* video = PySequence_Fast_GET_ITEM(pair.get(), 0);
    PyObject* text = PySequence_Fast_GET_ITEM(pair.get(), 1);
    const VideoKey key = to_video_key("entry", i, video, uuids.get());
    if (!PyUnicode_Check(text))
      refuse(PyExc_TypeError, i, "text must be a str, got " + type_name(text));
    check_added(i, key, add_text(index, folder, i, key, text));
    pause(++i, progress);
  }
  if (PyErr_Occurred()) throw PythonError{};
  if (i % kProgressEvery != 0 || i == 0) report(progress, "reading", static_cast<std::size_t>(i));
  Ref built(check(finish_build(index.builder(), top_n, progress)));
  return result(std::move(built), index, -1);
}

catalogue::Reader reader_of(PyObject* data, PyObject* format_arg) {
  if (!PyBytes_Check(data)) fail(PyExc_TypeError, "data must be bytes, got " + type_name(data));
  const std::string_view format = lib::to_utf8(format_arg);
  if (format != "tsv" && format != "csv") fail(PyExc_ValueError, "format must be 'tsv' or 'csv'");
  return catalogue::Reader(
      {PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data))},
      format == "tsv" ? catalogue::Format::Tsv : catalogue::Format::Csv);
}

PyObject* str_of(std::string_view utf8) {
  return check(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
}

constexpr const char* kRowsParams[] = {"data", "format"};
constexpr lib::MethodSignature kRowsSignature = {"catalogue_rows", kRowsParams, 2, 2};

PyObject* rows_of(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[lib::kMaxParams];
  lib::bind_arguments(kRowsSignature, args, nargs, kwnames, a);
  catalogue::Reader reader = reader_of(a[0], a[1]);
  Ref rows(check(PyList_New(0)));
  catalogue::Row row;
  for (;;) {
    const auto next = reader.next(row);
    if (next == catalogue::Reader::Next::End) return rows.release();
    if (next == catalogue::Reader::Next::Irregular) Py_RETURN_NONE;
    Ref id(str_of(row.id)), text(str_of(row.text));
    Ref line(check(PyLong_FromSize_t(row.line)));
    Ref item(check(PyTuple_Pack(3, line.get(), id.get(), text.get())));
    if (PyList_Append(rows.get(), item.get()) < 0) throw PythonError{};
  }
}

constexpr const char* kCatalogueParams[] = {"data", "format", "video_top_n", "progress", "titles"};
constexpr lib::MethodSignature kCatalogueSignature = {"build_catalogue", kCatalogueParams, 5, 2};

PyObject* catalogue_file(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[lib::kMaxParams];
  lib::bind_arguments(kCatalogueSignature, args, nargs, kwnames, a);
  catalogue::Reader reader = reader_of(a[0], a[1]);
  const std::size_t top_n = a[2] == nullptr ? 100 : to_top_n(a[2]);
  PyObject* progress = check_progress(a[3]);
  const bool keep_titles = a[4] != nullptr && lib::to_bool(a[4]);
  const Folder folder;
  TextIndex index(keep_titles);
  catalogue::Row row;
  Py_ssize_t rows = 0;
  for (;;) {
    const auto next = reader.next(row);
    if (next == catalogue::Reader::Next::End) break;
    if (next == catalogue::Reader::Next::Irregular) Py_RETURN_NONE;
    const VideoKey key = catalogue::parse_video_key(row.id);
    if (key.kind == VideoKey::Unknown) Py_RETURN_NONE;
    TextIndex::Added added;
    if (catalogue::is_ascii(row.text)) {
      added = index.add_ascii(key, row.text);
    } else {
      Ref text(str_of(row.text));
      added = add_text(index, folder, rows, key, text.get());
    }
    if (added != TextIndex::Added::Ok) Py_RETURN_NONE;
    pause(++rows, progress);
  }
  if (rows % kProgressEvery != 0 || rows == 0)
    report(progress, "reading", static_cast<std::size_t>(rows));
  Ref built(check(finish_build(index.builder(), top_n, progress)));
  return result(std::move(built), index, rows);
}

}  // namespace

PyObject* build_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lib::guarded([&] { return texts(args, nargs, kwnames); });
}

PyObject* build_catalogue(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lib::guarded([&] { return catalogue_file(args, nargs, kwnames); });
}

PyObject* catalogue_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lib::guarded([&] { return rows_of(args, nargs, kwnames); });
}

const char kBuildTextsDoc[] =
    "build_texts(entries, video_top_n=100, progress=None, titles=False)\n--\n\n"
    "Build a PrefixSearch from (video id, text) pairs: each text split into\n"
    "terms by the rule of tessaloom.terms and counted natively. The index is\n"
    "the one build_index makes from the records of those counts. Returns\n"
    "(index, titles section bytes or None, records).\n";

const char kBuildCatalogueDoc[] =
    "build_catalogue(data, format, video_top_n=100, progress=None, titles=False)\n--\n\n"
    "Build from the bytes of a TSV or CSV catalogue, natively. Returns\n"
    "(index, titles section bytes or None, rows, records), or None at the\n"
    "first line the native reader leaves to the Python reader.\n";

const char kCatalogueRowsDoc[] =
    "catalogue_rows(data, format)\n--\n\n"
    "The rows the native reader takes from the bytes of a TSV or CSV\n"
    "catalogue, as (line, id text, text), or None when it leaves a line to\n"
    "the Python reader.\n";

}  // namespace tessaloom::native
