// PrefixSearch.to_bytes and PrefixSearch.from_bytes.
#include "lib/binding.h"
#include "lib/methods.h"

namespace tessaloom::binding {

PyObject* to_bytes(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "to_bytes is not built yet");
  return nullptr;
}

PyObject* from_bytes(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "from_bytes is not built yet");
  return nullptr;
}

}  // namespace tessaloom::binding
