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

// counts.cc
PyObject* index_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char kIndexCountsDoc[];

}  // namespace tessaloom::native
