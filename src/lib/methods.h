// The five methods of PrefixSearch, each defined in the file of its concern.
#pragma once

#include "lib/binding.h"

namespace tessaloom::lib {

// construct.cc
PyObject* from_internal_data_v2(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
// persist.cc
PyObject* to_bytes(PyObject* self, PyObject*);
PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// query.cc
PyObject* fuzzy_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fuzzy_match_video(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace tessaloom::lib
