// The functions of tessaloom._native, one source file per capability, each
// listed in the module's table (module.cc). They are fast-call functions
// (METH_FASTCALL | METH_KEYWORDS) that bind their arguments with
// lib::bind_arguments and run their bodies through lib::guarded.
#pragma once

#include <cstddef>
#include <string>

#include "builder/index_builder.h"
#include "lib/binding.h"

namespace tessaloom::native {

// build.cc
PyObject* build_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kBuildIndexDoc[];

// Shared by the builders (build.cc):
// repr(o), cut to a readable length; the name of o's type.
std::string shown(PyObject* o);
std::string type_name(PyObject* o);
// Sets the exception and throws PythonError.
[[noreturn]] void fail(PyObject* type, const std::string& message);
// progress(phase, count), unless progress is None.
void report(PyObject* progress, const char* phase, std::size_t count);
// The video_top_n argument.
std::size_t to_top_n(PyObject* o);
// Runs the builder's phases, with the GIL released, reporting each, and
// returns the new PrefixSearch.
PyObject* finish_build(builder::IndexBuilder& b, std::size_t top_n, PyObject* progress);

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

// counts.cc
PyObject* index_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kIndexCountsDoc[];

}  // namespace tessaloom::native
