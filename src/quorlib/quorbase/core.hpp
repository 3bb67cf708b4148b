// What the files of the core module share: its state, the base's table of
// internal operations and the helpers around them.
#pragma once

#include <cstdint>
#include <vector>

#include "quorlib/api.hpp"
#include "quorlib/index.hpp"
#include "quorlib/init_args.hpp"
#include "quorlib/int32.hpp"
#include "quorlib/module_setup.hpp"
#include "quorlib/names.hpp"
#include "quorlib/ref.hpp"
#include "quorlib/stdout.hpp"

namespace quor::core {

// A native class and the table its instances carry.
struct Registered {
  PyTypeObject* type;
  const BaseOps* ops;
};

// quorlib.quorbase's state; found from the module, or from any instance's type.
struct CoreState {
  Names names;
  PyTypeObject* chunk_type;        // QuorChunk
  PyTypeObject* base_type;         // QuorBase
  PyObject* write_back_error;      // WriteBackError
  bool assertions;                 // false under python -O
  std::vector<Registered>* registry;
};

extern PyModuleDef module_def;
extern const BaseOps base_ops;

inline CoreState& state_of_module(PyObject* module) {
  return *static_cast<CoreState*>(PyModule_GetState(module));
}
inline CoreState& state_of_type(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleByDef(type, &module_def);  // borrowed
  if (!module) throw PyErrSet{};
  return state_of_module(module);
}
inline CoreState& state_of(PyObject* self) { return state_of_type(Py_TYPE(self)); }

// Type creation, called from the module's exec.
PyTypeObject* make_chunk_type(PyObject* module);
PyTypeObject* make_base_type(PyObject* module);
Ref make_quor_meta_class(PyObject* module);
extern PyMethodDef unpickle_base_def;

// The table instances of `type` carry: that of its nearest registered class.
const BaseOps* ops_for(const CoreState& st, PyTypeObject* type);
// The nearest native class of `type` (QuorBase or a registered container), or null.
PyTypeObject* native_type_of(const CoreState& st, PyTypeObject* type);
int register_type(PyTypeObject* type, const BaseOps* ops);

// The base's construction from parsed arguments (BaseApi::init).
int base_init_from(PyObject* self, const InitArgs& args);

// Residency, throwing on error.
void fetch_chunk(PyObject* self, int32_t chunk_idx);
// Writes a resident chunk back; a failed write is returned (new reference), not raised.
Ref write_back(PyObject* self, int32_t chunk_idx, int32_t remove_data);
// The exported operations (BaseApi::read_stored_chunk, ::drop_copy).
PyObject* read_stored_chunk(PyObject* self, Py_ssize_t chunk_idx);
int drop_copy(PyObject* self, Py_ssize_t chunk_idx);

// Changed marks, one per chunk, sized with chunk_list.
void reset_changed(QuorBaseObject* b, Py_ssize_t size);
void clear_changed(QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept;
bool is_changed(const QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept;
void free_changed(QuorBaseObject* b) noexcept;
int mark_changed_slow(PyObject* self, Py_ssize_t chunk_idx);

// Writes back resident chunks (only changed ones when `changed_only`) and
// raises WriteBackError naming the chunks whose write failed.
void flush_resident(PyObject* self, bool changed_only);

// Python-visible methods of QuorBase, defined across the files of the module.
extern PyMethodDef base_locking_methods[];
extern PyMethodDef base_pickle_methods[];
void base_finalize(PyObject* self);
PyObject* base_flush_chunks(PyObject* self, PyObject*);

inline void check_assertion(const CoreState& st, bool condition, const char* message = nullptr) {
  quor::check_assertion(st.assertions, condition, message);
}

}  // namespace quor::core
