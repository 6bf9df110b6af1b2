// Shared machinery of the Python binding, for both extension modules
// (tessaloom._tessaloom and tessaloom._native), which reach it in the
// package's shared library: the PrefixSearch object, argument binding for the
// fast-call functions, argument conversions with their exact messages, the
// guard that turns C++ failures into Python exceptions, and the refusal of
// sub-interpreters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "common/budget.h"
#include "common/fault.h"
#include "common/messages.h"
#include "format/format.h"
#include "index/index.h"

namespace tessaloom::lib {

struct PrefixSearchObject {
  PyObject_HEAD index::Index index;
};

// The PrefixSearch type, created once by tessaloom._tessaloom's
// initialisation. The class cannot be subclassed, so an object is a
// PrefixSearch exactly when Py_IS_TYPE(o, prefix_search_type).
extern PyTypeObject* prefix_search_type;

// The index of a PrefixSearch, in place; `self` must be one.
inline const index::Index& index_of(PyObject* self) {
  return reinterpret_cast<PrefixSearchObject*>(self)->index;
}

// The index of an argument that must be a PrefixSearch; throws PythonError
// with TypeError "<param> must be a PrefixSearch, not <type>" otherwise.
const index::Index& index_arg(PyObject* o, const char* param = "index");

// A PrefixSearch holding `index`. Null with an exception set on failure; the
// index is released then.
PyObject* wrap(index::Index&& index);

// Creates tessaloom._tessaloom (its PyInit function calls this).
PyObject* create_tessaloom_module();

// Destroys the C++ members of a PrefixSearch; its dealloc calls this before
// releasing the memory.
void destroy_members(PrefixSearchObject* self) noexcept;

// Thrown after a Python exception has been set; the guard returns null.
struct PythonError {};

// Owned reference, released on scope exit.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) : o_(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& r) noexcept : o_(r.release()) {}
  Ref& operator=(Ref&& r) noexcept {
    reset(r.release());
    return *this;
  }
  ~Ref() { Py_XDECREF(o_); }
  PyObject* get() const { return o_; }
  PyObject* release() {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  void reset(PyObject* o = nullptr) {
    PyObject* old = o_;
    o_ = o;
    Py_XDECREF(old);
  }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

// Returns o, or throws PythonError when o is null (an exception is set).
inline PyObject* check(PyObject* o) {
  if (o == nullptr) throw PythonError{};
  return o;
}

// Raises PanicException (derived from BaseException) with the message.
void raise_panic(const char* message);

// The PanicException class (a new reference), created on first need; null
// with an exception set when it cannot be created.
PyObject* panic_exception_type();

// Module initialisation starts with this: false, with ImportError set
// ("<module> only loads in the main interpreter, ..."), in a sub-interpreter.
// The modules keep Python objects of the main interpreter in C statics, so
// no other interpreter may load them; the refusal comes before anything is
// created, so it leaves nothing behind.
bool in_main_interpreter(const char* module);

// Releases the GIL for its lifetime; taken back however the scope ends.
// Only for code that touches no Python object.
class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;
  ~WithoutGil() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// Runs body; returns its result, or null with the right exception set. The
// one place where the core's errors (common/fault.h) become Python's:
// PythonError keeps the exception already set; InvalidInput becomes
// ValueError with its message, format::DecodeError ValueError "decode error:
// ..."; std::bad_alloc becomes MemoryError (with the reason when a limit was
// passed, TooLarge); anything else PanicException. Nothing C++ throws gets
// out.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const PythonError&) {
  } catch (const common::InvalidInput& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const format::DecodeError& e) {
    PyErr_Format(PyExc_ValueError, common::messages::kDecodeError, e.what());
  } catch (const common::TooLarge& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal fault");
  }
  return nullptr;
}

// The parameters of one fast-call function or method.
struct MethodSignature {
  const char* name;           // e.g. "PrefixSearch.fuzzy_match"
  const char* const* params;  // parameter names, in order
  std::size_t n_params;
  std::size_t n_required;  // the first n_required are required
};

constexpr std::size_t kMaxParams = 8;

// Binds positional and keyword arguments to parameters. On return out[i] is
// the argument for parameter i (borrowed) or null when it was not supplied.
// Throws PythonError with the TypeError of the first binding failure.
void bind_arguments(const MethodSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

// Re-raises the pending exception as described for convert_arg.
void rewrap_type_error(const char* param);

// Runs a conversion of the argument for `param`. A failure whose exception
// type is exactly TypeError is raised again as TypeError
// "argument '<param>': <message>", keeping its cause; others pass unchanged.
template <class F>
auto convert_arg(const char* param, F&& conversion) -> decltype(conversion()) {
  try {
    return conversion();
  } catch (const PythonError&) {
    rewrap_type_error(param);
    throw;
  }
}

// Sets TypeError "'<type qualname>' object cannot be converted to '<kind>'".
[[noreturn]] void throw_cannot_convert(PyObject* value, const char* kind);

// The integer rule: an int as it is, anything else through __index__ (NumPy
// integers; never a float). Returns the value, UINT64_MAX for any value past
// 64 bits, or nullopt when it is negative. Throws PythonError (the TypeError
// or the exception of __index__) for anything else.
std::optional<std::uint64_t> to_non_negative(PyObject* o);

// Conversions with the messages of PrefixSearch's methods. Each throws
// PythonError with the exception set.
std::uint32_t to_u32(PyObject* o);  // OverflowError outside 0..2**32-1
std::uint8_t to_u8(PyObject* o);
std::uint64_t to_u64(PyObject* o);      // __index__, then unsigned
std::string_view to_utf8(PyObject* o);  // 'PyString' kind; view into o
double to_double(PyObject* o);
bool to_bool(PyObject* o);  // 'PyBool', with NumPy's bool

constexpr std::size_t kMaxSequenceReservation = std::size_t{1} << 24;

// Iterates a sequence argument (not a str), calling item(PyObject*) on each
// item in iteration order. `reserve(n)` gets the reported length, if any.
template <class Reserve, class Item>
void for_each_in_sequence(PyObject* seq, Reserve&& reserve, Item&& item) {
  if (PyUnicode_Check(seq)) {
    PyErr_SetString(PyExc_TypeError, common::messages::kStrToVec);
    throw PythonError{};
  }
  if (!PySequence_Check(seq)) throw_cannot_convert(seq, "Sequence");
  // The reported length only sizes a first reservation: it may be wrong or
  // absurd, so it is capped and a failure to reserve is not an error.
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) {
    PyErr_Clear();
  } else {
    try {
      reserve(std::min<std::size_t>(static_cast<std::size_t>(n), kMaxSequenceReservation));
    } catch (const std::exception&) {
    }
  }
  if (PyList_CheckExact(seq)) {
    // What the list iterator does, without creating it: the length is read
    // again each step, since converting an item can run Python code.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
      Ref it(Py_NewRef(PyList_GET_ITEM(seq, i)));
      item(it.get());
    }
    return;
  }
  Ref iter(check(PyObject_GetIter(seq)));
  while (PyObject* raw = PyIter_Next(iter.get())) {
    Ref it(raw);
    item(it.get());
  }
  if (PyErr_Occurred()) throw PythonError{};
}

}  // namespace tessaloom::lib
