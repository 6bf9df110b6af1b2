// tessaloom._native.build_index(records, video_top_n=100, progress=None).
//
// Reads the records with the GIL held (letting other threads take it every
// 1,024 records), converting and checking each into the core's IndexBuilder,
// then runs the builder's phases with the GIL released
// (a progress call between phases takes it back; Ctrl-C stops any phase
// within a few tens of milliseconds) and hands the built trie to
// a new PrefixSearch as it is: nothing is encoded or decoded. Nothing is kept
// on failure: every table belongs to this call.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "builder/index_builder.h"
#include "common/interrupt.h"
#include "index/index.h"
#include "lib/binding.h"
#include "native/native.h"

namespace tessaloom::native {

using catalogue::VideoKey;
using common::Interrupt;
using common::Interrupted;
using prefix::trie::Uuid;

namespace {

using builder::IndexBuilder;
using lib::check;
using lib::PythonError;
using lib::Ref;
using lib::WithoutGil;

constexpr Py_ssize_t kProgressEvery = 1'000'000;
constexpr Py_ssize_t kSignalCheckEvery = 1 << 16;
// Records read between moments when other threads may take the GIL: reading
// a list runs no Python code, so nothing else would hand it over.
constexpr Py_ssize_t kYieldEvery = 1024;

// Ctrl-C for the phases that run without the GIL: takes the GIL for the
// moment of a check, and runs the signal handlers (on the main thread,
// where KeyboardInterrupt is raised). The exception stays set for the
// build to return.
class SignalCheck final : public Interrupt {
 public:
  bool requested() override {
    const PyGILState_STATE gil = PyGILState_Ensure();
    const bool stop = PyErr_CheckSignals() < 0;
    PyGILState_Release(gil);
    return stop;
  }
};

}  // namespace

// repr(o), cut to a readable length.
std::string shown(PyObject* o) {
  Ref r(PyObject_Repr(o));
  const char* text = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return std::string("<") + Py_TYPE(o)->tp_name + " object>";
  }
  std::string s(text);
  if (s.size() > 80) s = s.substr(0, 77) + "...";
  return s;
}

std::string type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

[[noreturn]] void fail(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

void report(PyObject* progress, const char* phase, std::size_t count) {
  if (progress == Py_None) return;
  Ref r(check(PyObject_CallFunction(progress, "sn", phase, static_cast<Py_ssize_t>(count))));
}

std::size_t to_top_n(PyObject* o) {
  if (!PyLong_Check(o) && !PyIndex_Check(o)) {
    fail(PyExc_TypeError, "video_top_n must be a non-negative integer, got " + shown(o));
  }
  const auto v = lib::to_non_negative(o);
  if (!v) fail(PyExc_ValueError, "video_top_n must be a non-negative integer, got " + shown(o));
  // Any number past what memory can hold keeps every video.
  return *v > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(*v);
}

Ref uuid_type() {
  Ref uuid_module(check(PyImport_ImportModule("uuid")));
  Ref type(check(PyObject_GetAttrString(uuid_module.get(), "UUID")));
  if (!PyType_Check(type.get())) fail(PyExc_TypeError, "uuid.UUID is not a type");
  return type;
}

void refuse_item(const char* item, Py_ssize_t i, PyObject* type, const std::string& what) {
  fail(type, std::string(item) + " " + std::to_string(i) + ": " + what);
}

void refuse_video_id(const char* item, Py_ssize_t i, PyObject* o) {
  if (PyBytes_Check(o) || PyByteArray_Check(o)) {
    const Py_ssize_t n = PyBytes_Check(o) ? PyBytes_GET_SIZE(o) : PyByteArray_GET_SIZE(o);
    refuse_item(item, i, PyExc_ValueError,
                "video id must be 16 bytes long, got " + std::to_string(n) + " bytes");
  }
  if (!PyBool_Check(o) && (PyLong_Check(o) || PyIndex_Check(o))) {
    refuse_item(item, i, PyExc_ValueError,
                "video id must be an integer in 0..4294967295, got " + shown(o));
  }
  refuse_item(item, i, PyExc_TypeError,
              "video id must be a uuid.UUID, 16 bytes or an integer, got " + type_name(o));
}

void refuse_other_kind(const char* item, Py_ssize_t i, const VideoKey& key) {
  refuse_item(item, i, PyExc_ValueError,
              std::string("video id is ") + (key.kind == VideoKey::Uuid ? "a UUID" : "an integer") +
                  ", but the ids before it are not: video ids must be all UUIDs or all integers");
}

PyObject* finish_build(IndexBuilder& b, std::size_t top_n, PyObject* progress) {
  SignalCheck signals;
  const Interrupt::Scope interruptible(signals);
  std::optional<index::Index> built;
  try {
    report(progress, "ordering", b.term_count());
    {
      WithoutGil unlocked;
      b.order();
    }
    report(progress, "trie", b.term_count());
    {
      WithoutGil unlocked;
      b.build_trie();
    }
    report(progress, "propagation", b.node_count());
    {
      WithoutGil unlocked;
      b.propagate(top_n);
      built.emplace(b.take_trie());
    }
  } catch (const Interrupted&) {
    throw PythonError{};  // KeyboardInterrupt (or a handler's exception) is set
  }
  return lib::wrap(std::move(*built));
}

namespace {

[[noreturn]] void refuse(PyObject* type, Py_ssize_t i, const std::string& what) {
  refuse_item("record", i, type, what);
}

std::uint64_t to_count(Py_ssize_t i, PyObject* o) {
  if (!PyLong_Check(o) && !PyIndex_Check(o)) {
    refuse(PyExc_TypeError, i, "count must be a non-negative integer, got " + shown(o));
  }
  const auto v = lib::to_non_negative(o);
  if (!v) refuse(PyExc_ValueError, i, "count must be a non-negative integer, got " + shown(o));
  return *v;
}

// Reads the records of build_index, one at a time, into the builder: each
// converted and checked, a refusal naming the record.
class RecordReader {
 public:
  RecordReader(IndexBuilder& b, PyObject* uuid_type) : b_(b), uuid_type_(uuid_type) {}

  void read(Py_ssize_t i, PyObject* record) {
    PyObject* items[3];
    Ref owned[3];
    if (PyTuple_Check(record) && PyTuple_GET_SIZE(record) == 3) {
      for (int k = 0; k < 3; ++k) items[k] = PyTuple_GET_ITEM(record, k);
    } else if (PyList_Check(record) && PyList_GET_SIZE(record) == 3) {
      // A list can change while its items are converted: hold them.
      for (int k = 0; k < 3; ++k) {
        owned[k].reset(Py_NewRef(PyList_GET_ITEM(record, k)));
        items[k] = owned[k].get();
      }
    } else {
      if (PyUnicode_Check(record) || PyBytes_Check(record) || PyByteArray_Check(record) ||
          !PySequence_Check(record)) {
        refuse(PyExc_TypeError, i,
               "record must be a (term, video id, count) sequence, got " + type_name(record));
      }
      const Py_ssize_t n = PySequence_Size(record);
      if (n < 0) throw PythonError{};
      if (n != 3) {
        refuse(PyExc_TypeError, i,
               "record must be a (term, video id, count) sequence, got " + std::to_string(n) +
                   " items");
      }
      for (int k = 0; k < 3; ++k) {
        owned[k].reset(check(PySequence_GetItem(record, k)));
        items[k] = owned[k].get();
      }
    }
    const std::string_view term = to_term(i, items[0]);
    const std::uint32_t video = to_video(i, items[1]);
    const std::uint64_t count = to_count(i, items[2]);
    try {
      b_.add(term, video, count);
    } catch (const builder::RefusedRecord& e) {
      if (e.field() == "count") {
        refuse(PyExc_ValueError, i,
               "count " + std::to_string(count) + " takes the total count of term " +
                   shown(items[0]) + " past 2**32-1");
      }
      // The term's refusals: the builder's reason, then the term, if any.
      refuse(PyExc_ValueError, i,
             term.empty() ? std::string(e.what()) : e.what() + (", got " + shown(items[0])));
    }
  }

 private:
  std::string_view to_term(Py_ssize_t i, PyObject* o) {
    if (!PyUnicode_Check(o)) {
      refuse(PyExc_TypeError, i, "term must be a str, got " + type_name(o));
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
    if (utf8 == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError{};
      PyErr_Clear();
      refuse(PyExc_ValueError, i,
             "term must be valid Unicode (no lone surrogates), got " + shown(o));
    }
    return {utf8, static_cast<std::size_t>(size)};
  }

  std::uint32_t to_video(Py_ssize_t i, PyObject* o) {
    const VideoKey key = to_video_key("record", i, o, uuid_type_);
    try {
      if (key.kind == VideoKey::Integer) return b_.int_video(key.number);
      Uuid id;
      std::memcpy(id.data(), key.uuid, 16);
      return b_.uuid_video(id);
    } catch (const builder::RefusedRecord&) {
      refuse_other_kind("record", i, key);
    }
  }

  IndexBuilder& b_;
  PyObject* uuid_type_;
};

constexpr const char* kParams[] = {"records", "video_top_n", "progress"};
constexpr lib::MethodSignature kSignature = {"build_index", kParams, 3, 1};

PyObject* build(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[lib::kMaxParams];
  lib::bind_arguments(kSignature, args, nargs, kwnames, a);
  PyObject* records = a[0];
  const std::size_t top_n = a[1] == nullptr ? 100 : to_top_n(a[1]);
  PyObject* progress = a[2] == nullptr ? Py_None : a[2];
  if (progress != Py_None && !PyCallable_Check(progress)) {
    fail(PyExc_TypeError, "progress must be callable or None, got " + type_name(progress));
  }
  const Ref uuids = uuid_type();

  IndexBuilder b;
  {
    RecordReader reader(b, uuids.get());
    Ref iter(check(PyObject_GetIter(records)));
    Py_ssize_t i = 0;
    while (PyObject* raw = PyIter_Next(iter.get())) {
      Ref record(raw);
      reader.read(i, record.get());
      ++i;
      if (i % kYieldEvery == 0) PyEval_RestoreThread(PyEval_SaveThread());
      if (i % kSignalCheckEvery == 0 && PyErr_CheckSignals() < 0) throw PythonError{};
      if (i % kProgressEvery == 0) report(progress, "reading", static_cast<std::size_t>(i));
    }
    if (PyErr_Occurred()) throw PythonError{};
  }

  return finish_build(b, top_n, progress);
}

}  // namespace

PyObject* build_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lib::guarded([&] { return build(args, nargs, kwnames); });
}

const char kBuildIndexDoc[] =
    "build_index(records, video_top_n=100, progress=None)\n--\n\n"
    "Build a PrefixSearch from records of (term, video id, count).\n"
    "\n"
    "`records` is any iterable of 3-item sequences, consumed once and read as\n"
    "a stream: the term occurs `count` times in that video. Video ids are all\n"
    "UUIDs (uuid.UUID or 16 bytes) or all integers 0..2**32-1; integer ids,\n"
    "counts and `video_top_n` take anything with __index__ (NumPy integers\n"
    "too), never floats. Each node keeps at most `video_top_n` videos.\n"
    "\n"
    "The index is the one PrefixSearch.from_internal_data_v2(\n"
    "*build_arrays(records, video_top_n)) makes, byte for byte: videos\n"
    "numbered in order of first appearance, repeated (term, video) records\n"
    "summed.\n"
    "\n"
    "`progress`, when given, is called as progress(phase, count): with\n"
    "'reading' and the records read so far every million records, then once\n"
    "at the start of each phase: 'ordering' (distinct terms), 'trie' (distinct\n"
    "terms) and 'propagation' (nodes). An exception it raises stops the\n"
    "build.\n"
    "\n"
    "Once the records are read the build runs without the GIL, so other\n"
    "threads keep running (and querying other indexes) meanwhile.\n"
    "\n"
    "Refusals name the record, counting from 0: TypeError for a value of the\n"
    "wrong kind, ValueError for a refused value (an empty term, U+0000 in a\n"
    "term, a negative count, a term whose total passes 2**32-1, an id out of\n"
    "range or of another length than 16 bytes, ids of both kinds), as in\n"
    "\"record 12: count must be a non-negative integer, got 1.5\". An exception\n"
    "raised by the iterator passes through. A failed build leaves nothing.\n"
    "\n"
    ">>> from tessaloom import build_index\n"
    ">>> index = build_index([(\"cat\", 7, 2), (\"cart\", 8, 1)])\n"
    ">>> index.fuzzy_match(\"cat\")\n"
    "[('cart', 1, 1), ('cat', 1, 0)]\n";

}  // namespace tessaloom::native
