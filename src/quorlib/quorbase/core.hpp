// What the files of the core module share: its module namespace, its types,
// the base's table of internal operations and the helpers around them.
#pragma once

#include <cstdint>

#include "quorlib/api.hpp"
#include "quorlib/int32.hpp"
#include "quorlib/module_names.hpp"
#include "quorlib/ref.hpp"
#include "quorlib/stdout.hpp"

namespace quor::core {

extern ModuleNames names;          // quorlib.quorbase's namespace
extern PyTypeObject* chunk_type;   // QuorChunk
extern PyTypeObject* base_type;    // QuorBase
extern PyObject* write_back_error; // WriteBackError
extern const BaseOps base_ops;
extern bool assertions_enabled;    // false under python -O

// Type creation, called from the module's exec.
PyTypeObject* make_chunk_type();
PyTypeObject* make_base_type();
PyObject* make_quor_meta_class(PyObject* module);
extern PyMethodDef unpickle_base_def;

// The native class whose table instances of `type` carry (walking tp_base).
const BaseOps* ops_for(PyTypeObject* type);
// The nearest native class of `type` (QuorBase or a registered container), or null.
PyTypeObject* native_type_of(PyTypeObject* type);
int register_type(PyTypeObject* type, const BaseOps* ops, WriteFailureHook on_write_failure);
WriteFailureHook write_failure_hook_for(PyTypeObject* type);

// Residency operations (the base's table entries), throwing on error.
void fetch_chunk(PyObject* self, int32_t chunk_idx);
// Writes a resident chunk back; a failed write is returned (new reference), not raised.
Ref write_back(PyObject* self, int32_t chunk_idx, int32_t remove_data);

// Changed marks, one per chunk, sized with chunk_list.
void reset_changed(QuorBaseObject* b, Py_ssize_t size);
void clear_changed(QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept;
bool is_changed(const QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept;
int mark_changed_slow(PyObject* self, Py_ssize_t chunk_idx);

// Writes back resident chunks (only changed ones when `changed_only`) and
// raises WriteBackError naming the chunks whose write failed.
void flush_resident(PyObject* self, bool changed_only);

// Python-visible methods of QuorBase, defined across the files of the module.
extern PyMethodDef base_locking_methods[];
extern PyMethodDef base_pickle_methods[];
void base_finalize(PyObject* self);
PyObject* base_flush_chunks(PyObject* self, PyObject*);

// Raises AssertionError(message), or with no argument when message is null,
// when assertion checking is on and `condition` is false.
inline void check_assertion(bool condition, const char* message = nullptr) {
  if (condition || !assertions_enabled) return;
  if (message) raise(PyExc_AssertionError, message);
  PyErr_SetNone(PyExc_AssertionError);
  throw PyErrSet{};
}

}  // namespace quor::core
