// The functions of tessaloom._native, one source file per capability, each
// listed in the module's table (module.cc). They are fast-call functions
// (METH_FASTCALL | METH_KEYWORDS) that bind their arguments with
// lib::bind_arguments and run their bodies through lib::guarded.
#pragma once

#include "lib/binding.h"

namespace tessaloom::native {

// build.cc
PyObject* build_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kBuildIndexDoc[];

// search.cc: the words of each text as tessaloom.search splits them; the
// package's search and search_many check the arguments first.
PyObject* search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* search_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tessaloom::native
