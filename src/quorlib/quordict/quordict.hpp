// What the files of quorlib.quordict share: the module's state and the
// functions each file contributes to the QuorDict type.
#pragma once

#include <cstdint>

#include "quorlib/api.hpp"
#include "quorlib/module_setup.hpp"
#include "quorlib/names.hpp"

namespace quor::dict {

// quorlib.quordict's state; found from the module, or from an instance's type.
struct DictState {
  Names names;
  const BaseApi* base;        // valid while base_module is held
  PyObject* base_module;      // quorlib.quorbase
  PyTypeObject* dict_type;    // QuorDict
  BaseOps ops;                // the base's table with the chunk-list builder replaced
  bool assertions;            // false under python -O
  PyObject* mapping_abc;      // collections.abc.Mapping: what compares by contents
  PyObject* deepcopy;         // copy.deepcopy
};

extern PyModuleDef module_def;

inline DictState& state_of_module(PyObject* module) {
  return *static_cast<DictState*>(PyModule_GetState(module));
}
inline DictState& state_of(PyObject* self) {
  return state_of_module(module_by_def(Py_TYPE(self), &module_def));
}

// Floored modulo: the result takes the divisor's sign, so a positive chunk
// count always gives a bucket in 0 .. count-1. `count` is non-zero.
inline Py_ssize_t floor_mod(Py_hash_t hash, int32_t count) noexcept {
  // A power of two (the default 32) needs no division: masking the two's
  // complement hash is the floored modulo.
  if (count > 0 && (count & (count - 1)) == 0) return Py_ssize_t(Py_uhash_t(hash) & Py_uhash_t(count - 1));
  if (count == -1) return 0;  // INT64_MIN % -1 traps
  Py_hash_t r = hash % count;
  if (r != 0 && ((r < 0) != (count < 0))) r += count;
  return Py_ssize_t(r);
}

// Marks a chunk changed; the state is needed only when the mark array must grow.
inline void mark_changed(PyObject* self, Py_ssize_t chunk_idx) {
  quor::mark_changed(self, chunk_idx, [self] { return state_of(self).base; });
}

// The refusals of a block that took less than the whole dictionary (Note
// [What a block took] in the core): a change inside a reading block, an
// operation over every chunk inside a block on some keys.
inline void require_change(PyObject* self, const char* what) {
  quor::require_change(self, what, [self] { return state_of(self).base; });
}
inline void require_every_chunk(PyObject* self, const char* what) {
  quor::require_every_chunk(self, what, [self] { return state_of(self).base; });
}

// partition.cpp: the table entry that creates the chunks of a new dictionary.
int init_new_chunk_list(PyObject* self, int32_t num_chunks, PyObject* value);

// key_ops.cpp: one key, one chunk.
// The key's chunk, resident. The chunk is held for the caller because the
// key's own __eq__ may run code that drops the chunk from chunk_list.
struct Located {
  Ref chunk;
  Py_ssize_t idx;
};
Located locate(PyObject* self, PyObject* key);
[[noreturn]] void raise_key_error(PyObject* key);
PyObject* dict_subscript(PyObject* self, PyObject* key);
int dict_ass_subscript(PyObject* self, PyObject* key, PyObject* value);
int dict_contains(PyObject* self, PyObject* key);
PyObject* dict_sq_item(PyObject* self, Py_ssize_t position);
// d.locking(*keys), d.reading(*keys): blocks on the chunks of some keys.
PyObject* dict_locking(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* dict_reading(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

// listings.cpp: every chunk. `what` names the operation, for the refusal of
// a block that took only some chunks.
Ref resident_chunks(PyObject* self, const char* what);
Py_ssize_t dict_length(PyObject* self);
PyObject* dict_keys(PyObject* self, PyObject*);
PyObject* dict_values(PyObject* self, PyObject*);
PyObject* dict_items(PyObject* self, PyObject*);
PyObject* dict_clear(PyObject* self, PyObject*);
PyObject* dict_iter(PyObject* self);

// transfer.cpp: pickling by reference and the printed form.
PyObject* dict_reduce(PyObject* self, PyObject*);
extern PyMethodDef rebuild_def;
PyObject* dict_repr(PyObject* self);
PyObject* dict_repr_method(PyObject* self, PyObject*);
extern const char kReprDoc[];

// mapping_methods.cpp: the rest of the mapping protocol.
PyObject* dict_richcompare(PyObject* self, PyObject* other, int op);
PyObject* dict_or(PyObject* left, PyObject* right);
PyObject* dict_inplace_or(PyObject* self, PyObject* other);
// Adds the methods to the class and registers it as a MutableMapping.
void add_mapping_methods(PyTypeObject* type, DictState& st);

// dict_type.cpp: creates the class (registered with the core, rebuild attached).
PyTypeObject* make_dict_type(PyObject* module, DictState& st);

}  // namespace quor::dict
