// The constructor arguments that QuorBase and the containers share, and the
// one parser for them. A container parses its own signature (its parameter
// order and defaults, and any parameter of its own after the seven), runs its
// pre-step, then hands the parsed arguments to the base's init entry as they
// are: nothing is packed into a tuple and parsed again.
#pragma once

#include <cstdint>
#include <cstring>

#include "quorlib/args.hpp"
#include "quorlib/int32.hpp"

namespace quor {

// The documentation of __init__ of QuorBase and of the containers that
// document theirs.
inline constexpr char kInitDoc[] =
    "@lock: lock object for synchronization. For deserialization, it should be given.\n"
    "@chunk_ref_list: list of ray reference to each chunk for deserializing";

// Borrowed from the call's arguments; valid for the length of the call.
struct InitArgs {
  int32_t num_chunks;
  PyObject* value;           // initial contents, or None
  PyObject* lock;            // shared lock handle, None: a new one
  int32_t per_chunk_lock;
  PyObject* chunk_ref_list;  // list of chunk handles to adopt, or None: new chunks
  PyObject* meta_ref;        // proxy of the version record to share, or None: a new one
  int32_t length;            // the adopted container's length, -1 unknown
};

struct InitSignature {
  // The positional order: the seven names of InitArgs in the container's
  // order, then at most one parameter of its own; null-terminated.
  const char* keywords[9];
  int32_t default_num_chunks;
  PyTypeObject* value_type;  // the exact type `value` must have (or None); null: any
};

// Parses __init__'s arguments. The integers are converted first, then `value`
// and `chunk_ref_list` are checked, so each bad input meets the same error
// whichever container it was given to. `own` receives the parameter after the
// seven (null when omitted).
inline InitArgs parse_init_args(PyObject* args, PyObject* kwds, const InitSignature& sig,
                                PyObject** own = nullptr) {
  PyObject* given[8] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwds, sig.keywords[7] ? "|OOOOOOOO:__init__" : "|OOOOOOO:__init__",
                                   const_cast<char**>(sig.keywords), &given[0], &given[1],
                                   &given[2], &given[3], &given[4], &given[5], &given[6], &given[7]))
    throw PyErrSet{};
  auto named = [&](const char* name) -> PyObject* {
    for (int i = 0; i < 7; ++i)
      if (std::strcmp(sig.keywords[i], name) == 0) return given[i];
    return nullptr;
  };
  auto object = [&](const char* name) {
    PyObject* o = named(name);
    return o ? o : Py_None;
  };
  auto integer = [&](const char* name, int32_t fallback) {
    PyObject* o = named(name);
    return o ? as_int32(o) : fallback;
  };
  InitArgs a;
  a.num_chunks = integer("num_chunks", sig.default_num_chunks);
  a.per_chunk_lock = integer("per_chunk_lock", 0);
  a.length = integer("length", -1);
  a.value = object("value");
  a.lock = object("lock");
  a.chunk_ref_list = object("chunk_ref_list");
  a.meta_ref = object("meta_ref");
  if (sig.value_type) require_exact_or_none(a.value, sig.value_type, "value");
  require_list_or_none(a.chunk_ref_list, "chunk_ref_list");
  if (own) *own = given[7];
  return a;
}

}  // namespace quor
