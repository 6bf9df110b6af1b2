// The PrefixSearch type and the module tessaloom._tessaloom that holds it: a
// heap type with no constructor, no instance dict, no weak references and no
// GC support, whose instances each own one index value (index/index.h).
// The module's entry point (module.cc) only calls create_tessaloom_module().
#include "lib/binding.h"
#include "lib/methods.h"

namespace tessaloom::lib {
namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, common::messages::kNoConstructor, name.get());
  return nullptr;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  destroy_members(reinterpret_cast<PrefixSearchObject*>(self));
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

#define FASTCALL_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef methods[] = {
    {"from_internal_data_v2", FASTCALL_METHOD(from_internal_data_v2),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_internal_data_v2(node_shifts, child_labels, payloads, "
     "child_transitions, video_index, video_top_n)\n--\n\n"},
    {"to_bytes", to_bytes, METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"from_bytes", FASTCALL_METHOD(from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_bytes(b)\n--\n\n"},
    {"fuzzy_match", FASTCALL_METHOD(fuzzy_match), METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_match(term, max_dist=1, limit=None)\n--\n\n"},
    {"fuzzy_match_video", FASTCALL_METHOD(fuzzy_match_video), METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_match_video(term, max_dist=1, limit=None, "
     "include_prefix_nodes=None, min_score=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot type_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_description = {
    "builtins.PrefixSearch",
    static_cast<int>(sizeof(PrefixSearchObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    type_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tessaloom", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Process-wide: the module and the type. They are Python objects of the main
// interpreter kept in C statics, which is why no other interpreter may load
// the module.
PyObject* module_object = nullptr;

int add_type(PyObject* module) {
  if (prefix_search_type == nullptr) {
    PyObject* type = PyType_FromSpec(&type_description);
    if (type == nullptr) {
      PyErr_Clear();
      raise_panic("failed to create the PrefixSearch type");
      return -1;
    }
    prefix_search_type = reinterpret_cast<PyTypeObject*>(type);
  }
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  }
  Ref all_ref(all);
  Ref name(PyUnicode_FromString("PrefixSearch"));
  if (!name || PyList_Append(all, name.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, "PrefixSearch",
                               reinterpret_cast<PyObject*>(prefix_search_type));
}

PyObject* init_module() {
  // Refused before anything is created or cached: a sub-interpreter that
  // CPython itself refuses afterwards (an isolated one, from 3.12) must leave
  // nothing behind, and one that would have been let in must not claim the
  // module before the main interpreter does.
  if (!in_main_interpreter("tessaloom._tessaloom")) return nullptr;
  if (module_object != nullptr) return Py_NewRef(module_object);

  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  if (add_type(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  module_object = Py_NewRef(module);
  return module;
}

}  // namespace

PyObject* create_tessaloom_module() {
  return guarded([] { return init_module(); });
}

}  // namespace tessaloom::lib
