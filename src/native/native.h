// The functions of tessaloom._native, one source file per capability, each
// listed in the module's table (module.cc). They are fast-call functions
// (METH_FASTCALL | METH_KEYWORDS) that bind their arguments with
// lib::bind_arguments and run their bodies through lib::guarded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "builder/index_builder.h"
#include "catalogue/reader.h"
#include "lib/binding.h"

namespace tessaloom::native {

// build.cc
PyObject* build_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kBuildIndexDoc[];

// Shared by the builders (build.cc):
// repr(o), cut to a readable length; the name of o's type.
std::string shown(PyObject* o);
std::string type_name(PyObject* o);
// Sets the exception and throws PythonError; refuse_item first names the
// item at fault: "<item> <i>: <what>" (item is "record" or "entry").
[[noreturn]] void fail(PyObject* type, const std::string& message);
[[noreturn]] void refuse_item(const char* item, Py_ssize_t i, PyObject* type,
                              const std::string& what);
// progress(phase, count), unless progress is None.
void report(PyObject* progress, const char* phase, std::size_t count);
// The video_top_n argument.
std::size_t to_top_n(PyObject* o);
// uuid.UUID, looked up once per build.
lib::Ref uuid_type();
// A video id as the builders take it: a uuid.UUID, 16 bytes (bytes or
// bytearray) or an integer 0..2^32-1 that is not a bool, refused as
// refuse_item does (refuse_video_id says why, out of the way of the ids that
// convert); refuse_other_kind refuses an id of the other kind than the ids
// before it.
[[noreturn, gnu::cold]] void refuse_video_id(const char* item, Py_ssize_t i, PyObject* o);
[[noreturn]] void refuse_other_kind(const char* item, Py_ssize_t i, const catalogue::VideoKey& key);
inline catalogue::VideoKey to_video_key(const char* item, Py_ssize_t i, PyObject* o,
                                        PyObject* uuid_type) {
  catalogue::VideoKey key;
  if (PyBytes_Check(o) || PyByteArray_Check(o)) {
    const bool is_bytes = PyBytes_Check(o);
    if ((is_bytes ? PyBytes_GET_SIZE(o) : PyByteArray_GET_SIZE(o)) != 16) {
      refuse_video_id(item, i, o);
    }
    std::memcpy(key.uuid, is_bytes ? PyBytes_AS_STRING(o) : PyByteArray_AS_STRING(o), 16);
    key.kind = catalogue::VideoKey::Uuid;
  } else if (PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(uuid_type))) {
    lib::Ref bytes(lib::check(PyObject_GetAttrString(o, "bytes")));
    if (!PyBytes_Check(bytes.get()) || PyBytes_GET_SIZE(bytes.get()) != 16) {
      refuse_item(item, i, PyExc_ValueError, "video id " + shown(o) + " does not give 16 bytes");
    }
    std::memcpy(key.uuid, PyBytes_AS_STRING(bytes.get()), 16);
    key.kind = catalogue::VideoKey::Uuid;
  } else if (!PyBool_Check(o) && (PyLong_Check(o) || PyIndex_Check(o))) {
    const auto v = lib::to_non_negative(o);
    if (!v || *v > 0xFFFFFFFFu) refuse_video_id(item, i, o);
    key.number = static_cast<std::uint32_t>(*v);
    key.kind = catalogue::VideoKey::Integer;
  } else {
    refuse_video_id(item, i, o);
  }
  return key;
}
// Runs the builder's phases, with the GIL released, reporting each, and
// returns the new PrefixSearch.
PyObject* finish_build(builder::IndexBuilder& b, std::size_t top_n, PyObject* progress);

// The terms rule's folding of text that is not ASCII: NFKC, then
// str.casefold, by the interpreter (texts.cc and search.cc).
class Folder {
 public:
  Folder() {
    lib::Ref unicodedata(lib::check(PyImport_ImportModule("unicodedata")));
    normalize_.reset(lib::check(PyObject_GetAttrString(unicodedata.get(), "normalize")));
    form_.reset(lib::check(PyUnicode_FromString("NFKC")));
    casefold_.reset(lib::check(PyUnicode_InternFromString("casefold")));
  }
  lib::Ref fold(PyObject* text) const {
    lib::Ref normal(
        lib::check(PyObject_CallFunctionObjArgs(normalize_.get(), form_.get(), text, nullptr)));
    return lib::Ref(lib::check(PyObject_CallMethodNoArgs(normal.get(), casefold_.get())));
  }

 private:
  lib::Ref normalize_, form_, casefold_;
};

// texts.cc
PyObject* build_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kBuildTextsDoc[];
PyObject* build_catalogue(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kBuildCatalogueDoc[];
PyObject* catalogue_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kCatalogueRowsDoc[];

// load.cc
PyObject* load_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kLoadIndexDoc[];

// search.cc: texts split into words and searched natively; the package's
// search and search_many check the arguments first.
PyObject* search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* search_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* query_words(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* word_budget(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Their docstrings.
extern const char kSearchDoc[], kSearchManyDoc[], kQueryWordsDoc[], kWordBudgetDoc[];

// counts.cc
PyObject* index_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kIndexCountsDoc[];

}  // namespace tessaloom::native
