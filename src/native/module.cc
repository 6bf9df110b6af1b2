// tessaloom._native: the package's native functions besides PrefixSearch's
// methods. It works on the PrefixSearch objects of tessaloom._tessaloom in
// place, through the shared library both modules link (lib/binding.h), so
// it imports that module first and checks that the class it finds has the
// layout this module was compiled against.
#include "lib/binding.h"
#include "native/native.h"

namespace tessaloom::native {
namespace {

#define FASTCALL_FUNCTION(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyObject* panic_exception(PyObject*, PyObject*) {
  return lib::guarded([] { return lib::panic_exception_type(); });
}

PyMethodDef methods[] = {
    {"build_index", FASTCALL_FUNCTION(build_index), METH_FASTCALL | METH_KEYWORDS, kBuildIndexDoc},
    {"index_counts", FASTCALL_FUNCTION(index_counts), METH_FASTCALL | METH_KEYWORDS,
     kIndexCountsDoc},
    {"build_texts", FASTCALL_FUNCTION(build_texts), METH_FASTCALL | METH_KEYWORDS, kBuildTextsDoc},
    {"build_catalogue", FASTCALL_FUNCTION(build_catalogue), METH_FASTCALL | METH_KEYWORDS,
     kBuildCatalogueDoc},
    {"catalogue_rows", FASTCALL_FUNCTION(catalogue_rows), METH_FASTCALL | METH_KEYWORDS,
     kCatalogueRowsDoc},
    {"load_index", FASTCALL_FUNCTION(load_index), METH_FASTCALL | METH_KEYWORDS, kLoadIndexDoc},
    {"search", FASTCALL_FUNCTION(search), METH_FASTCALL | METH_KEYWORDS, kSearchDoc},
    {"search_many", FASTCALL_FUNCTION(search_many), METH_FASTCALL | METH_KEYWORDS, kSearchManyDoc},
    {"query_words", FASTCALL_FUNCTION(query_words), METH_FASTCALL | METH_KEYWORDS, kQueryWordsDoc},
    {"word_budget", FASTCALL_FUNCTION(word_budget), METH_FASTCALL | METH_KEYWORDS, kWordBudgetDoc},
    {"panic_exception", panic_exception, METH_NOARGS,
     "panic_exception()\n--\n\n"
     "The class of the internal-fault exception, created on first need (the\n"
     "package exports it as tessaloom.PanicException).\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "The package's native functions.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The PrefixSearch class of tessaloom._tessaloom, checked against this
// module's view of it: the class the shared library made, with the size of
// the object this module was compiled with.
void check_prefix_search() {
  lib::Ref core(lib::check(PyImport_ImportModule("tessaloom._tessaloom")));
  lib::Ref type(lib::check(PyObject_GetAttrString(core.get(), "PrefixSearch")));
  if (type.get() != reinterpret_cast<PyObject*>(lib::prefix_search_type) ||
      lib::prefix_search_type->tp_basicsize !=
          static_cast<Py_ssize_t>(sizeof(lib::PrefixSearchObject))) {
    PyErr_SetString(PyExc_ImportError,
                    "tessaloom._native does not match tessaloom._tessaloom: reinstall the "
                    "package");
    throw lib::PythonError{};
  }
}

PyObject* init_module() {
  // Refused before anything is imported or created, like _tessaloom.
  if (!lib::in_main_interpreter("tessaloom._native")) return nullptr;
  check_prefix_search();
  return PyModule_Create(&module_def);
}

}  // namespace
}  // namespace tessaloom::native

PyMODINIT_FUNC PyInit__native(void) {
  return tessaloom::lib::guarded([] { return tessaloom::native::init_module(); });
}
