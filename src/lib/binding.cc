#include "lib/binding.h"

#include <limits>
#include <string>

#include "common/messages.h"

namespace tessaloom::lib {
namespace {

// The pending exception as one object (null when none is set), and its dual.
// 3.12 replaced the fetch/restore triple with a single object.
PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

void give_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

PyObject* panic_type = nullptr;

std::string type_qualname(PyObject* o) {
  Ref name(PyType_GetQualName(Py_TYPE(o)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
  }
  const char* utf8 = PyUnicode_AsUTF8(name.get());
  if (utf8 == nullptr) {
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
  }
  return utf8;
}

[[noreturn]] void throw_out_of_range_conversion() {
  PyErr_SetString(PyExc_OverflowError, common::messages::kIntegerOutOfRange);
  throw PythonError{};
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string name_list(const char* const* names, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) {
      if (n > 2) out += ",";
      out += i + 1 == n ? " and " : " ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

}  // namespace

PyTypeObject* prefix_search_type = nullptr;

PyObject* wrap(index::Index&& index) {
  PyObject* self = prefix_search_type->tp_alloc(prefix_search_type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<PrefixSearchObject*>(self)->index) index::Index(std::move(index));
  return self;
}

const index::Index& index_arg(PyObject* o, const char* param) {
  if (!Py_IS_TYPE(o, prefix_search_type)) {
    const std::string type = type_qualname(o);
    PyErr_Format(PyExc_TypeError, "%s must be a PrefixSearch, not %s", param, type.c_str());
    throw PythonError{};
  }
  return index_of(o);
}

void destroy_members(PrefixSearchObject* self) noexcept { self->index.~Index(); }

PyObject* panic_exception_type() {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(
        common::messages::kPanicExceptionName,
        "An internal fault of the index: a call met a condition that a "
        "consistent index never produces. The object involved is unchanged.",
        PyExc_BaseException, nullptr);
    if (panic_type == nullptr) return nullptr;
  }
  return Py_NewRef(panic_type);
}

void raise_panic(const char* message) {
  Ref type(panic_exception_type());
  if (!type) return;  // that failure stays set
  PyErr_SetString(type.get(), message);
}

bool in_main_interpreter(const char* module) {
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
  PyErr_Format(PyExc_ImportError, common::messages::kSubInterpreter, module);
  return false;
}

void rewrap_type_error(const char* param) {
  PyObject* exc = take_exception();
  if (exc == nullptr) return;
  if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    give_exception(exc);
    return;
  }
  Ref caught(exc);
  Ref text(PyObject_Str(exc));
  if (!text) return;
  Ref wrapped(PyObject_CallFunction(
      PyExc_TypeError, "N", PyUnicode_FromFormat(common::messages::kArgument, param, text.get())));
  if (!wrapped) return;
  if (PyObject* cause = PyException_GetCause(exc)) {
    PyException_SetCause(wrapped.get(), cause);  // steals cause
  }
  give_exception(wrapped.release());
}

void bind_arguments(const MethodSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
  const std::string name = std::string(sig.name) + "()";
  const std::size_t given = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < sig.n_params; ++i) out[i] = nullptr;

  if (given > sig.n_params) {
    const char* verb = given == 1 ? "was" : "were";
    if (sig.n_required == sig.n_params) {
      PyErr_Format(PyExc_TypeError, common::messages::kTooManyArguments, name.c_str(), sig.n_params,
                   nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError, common::messages::kTooManyOptionalArguments, name.c_str(),
                   sig.n_required, sig.n_params, nargs, verb);
    }
    throw PythonError{};
  }
  for (std::size_t i = 0; i < given; ++i) out[i] = args[i];

  const Py_ssize_t n_kw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n_kw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t slot = sig.n_params;
    for (std::size_t i = 0; i < sig.n_params; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
        slot = i;
        break;
      }
    }
    if (slot == sig.n_params) {
      PyErr_Format(PyExc_TypeError, common::messages::kUnexpectedKeyword, name.c_str(), key);
      throw PythonError{};
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, common::messages::kMultipleValues, name.c_str(), key);
      throw PythonError{};
    }
    out[slot] = args[nargs + k];
  }

  const char* missing[kMaxParams];
  std::size_t n_missing = 0;
  for (std::size_t i = 0; i < sig.n_required; ++i) {
    if (out[i] == nullptr) missing[n_missing++] = sig.params[i];
  }
  if (n_missing > 0) {
    const std::string list = name_list(missing, n_missing);
    PyErr_Format(PyExc_TypeError, common::messages::kMissingArguments, name.c_str(), n_missing,
                 n_missing == 1 ? "argument" : "arguments", list.c_str());
    throw PythonError{};
  }
}

void throw_cannot_convert(PyObject* value, const char* kind) {
  const std::string type = type_qualname(value);
  PyErr_Format(PyExc_TypeError, common::messages::kCannotConvert, type.c_str(), kind);
  throw PythonError{};
}

std::optional<std::uint64_t> to_non_negative(PyObject* o) {
  Ref n(PyLong_CheckExact(o) ? Py_NewRef(o) : check(PyNumber_Index(o)));
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw PythonError{};
  if (overflow > 0) return UINT64_MAX;
  if (overflow < 0 || v < 0) return std::nullopt;
  return static_cast<std::uint64_t>(v);
}

std::uint32_t to_u32(PyObject* o) {
  const long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) throw PythonError{};
  if (v < 0 || static_cast<unsigned long>(v) > std::numeric_limits<std::uint32_t>::max()) {
    throw_out_of_range_conversion();
  }
  return static_cast<std::uint32_t>(v);
}

std::uint8_t to_u8(PyObject* o) {
  const long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) throw PythonError{};
  if (v < 0 || v > 255) throw_out_of_range_conversion();
  return static_cast<std::uint8_t>(v);
}

std::uint64_t to_u64(PyObject* o) {
  Ref index;
  if (!PyLong_Check(o)) {
    index.reset(check(PyNumber_Index(o)));
    o = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    throw PythonError{};
  }
  return v;
}

std::string_view to_utf8(PyObject* o) {
  if (!PyUnicode_Check(o)) throw_cannot_convert(o, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  if (data == nullptr) throw PythonError{};
  return {data, static_cast<std::size_t>(size)};
}

double to_double(PyObject* o) {
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
  return v;
}

bool to_bool(PyObject* o) {
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  // NumPy's boolean scalar is accepted too, without importing NumPy: it is
  // recognised by its type's module and name, and read through its truth slot.
  PyTypeObject* type = Py_TYPE(o);
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) PyErr_Clear();
  Ref name(PyType_GetName(type));
  if (!name) PyErr_Clear();
  const bool numpy_bool = module && name && PyUnicode_Check(module.get()) &&
                          PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                          (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
  if (!numpy_bool) throw_cannot_convert(o, "PyBool");
  auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
  if (nb_bool == nullptr) {
    PyErr_Format(PyExc_TypeError, common::messages::kNoBoolConversion, name.get());
    throw PythonError{};
  }
  const int truth = nb_bool(o);
  if (truth < 0) throw PythonError{};
  return truth != 0;
}

}  // namespace tessaloom::lib
