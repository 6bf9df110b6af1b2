// PrefixSearch.fuzzy_match and PrefixSearch.fuzzy_match_video.
#include "lib/binding.h"
#include "lib/methods.h"

namespace tessaloom::binding {

PyObject* fuzzy_match(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "fuzzy_match is not built yet");
  return nullptr;
}

PyObject* fuzzy_match_video(PyObject*, PyObject* const*, Py_ssize_t,
                            PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError,
                  "fuzzy_match_video is not built yet");
  return nullptr;
}

}  // namespace tessaloom::binding
