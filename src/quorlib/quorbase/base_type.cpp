// QuorBase as an object: allocation, construction, cycle collection and
// release. The chunk protocol is in residency.cpp, locking and the finaliser
// in locking.cpp, the by-value pickled form in pickling.cpp.

#include <cstring>
#include <vector>

#include "core.hpp"

#include <structmember.h>
#include "quorlib/args.hpp"

namespace quor::core {
namespace {

// The eight object fields, for allocation, traversal and clearing alike.
constexpr PyObject* QuorBaseObject::*kObjectFields[] = {
    &QuorBaseObject::chunk_ref_list,     &QuorBaseObject::chunk_list,
    &QuorBaseObject::lock,               &QuorBaseObject::local_lock,
    &QuorBaseObject::quor_free_to_use,   &QuorBaseObject::quor_inval_threads,
    &QuorBaseObject::quor_meta,          &QuorBaseObject::quor_meta_ref,
};

PyObject* base_new(PyTypeObject* type, PyObject*, PyObject*) {
  return guard([&]() -> PyObject* {
    Ref self = Ref::check(type->tp_alloc(type, 0));
    QuorBaseObject* b = as_base(self.get());
    b->ops = ops_for(type);
    for (auto field : kObjectFields) b->*field = Py_NewRef(Py_None);
    return self.release();
  });
}

Ref list_of_none(Py_ssize_t n) {
  Ref list = Ref::check(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(Py_None));
  return list;
}

void refuse_uninitialised_ray(PyObject* self) {
  Ref type_name = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__name__");
  Ref message = Ref::check(PyUnicode_FromFormat("Ray must be initialized to use %U", type_name.get()));
  print_line(message.get());
  Ref time_module = names.lookup("time");
  Ref slept = Ref::check(PyObject_CallMethod(time_module.get(), "sleep", "i", 3));
  PyErr_SetObject(PyExc_AssertionError, message.get());
  throw PyErrSet{};
}

int base_init(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&] {
    static const char* kwlist[] = {"num_chunks",     "value",    "lock",   "per_chunk_lock",
                                   "chunk_ref_list", "meta_ref", "length", nullptr};
    PyObject* num_chunks_obj = nullptr;
    PyObject* value = Py_None;
    PyObject* lock = Py_None;
    PyObject* per_chunk_lock_obj = nullptr;
    PyObject* chunk_ref_list = Py_None;
    PyObject* meta_ref = Py_None;
    PyObject* length_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOOOOO:__init__", const_cast<char**>(kwlist),
                                     &num_chunks_obj, &value, &lock, &per_chunk_lock_obj,
                                     &chunk_ref_list, &meta_ref, &length_obj))
      throw PyErrSet{};
    int32_t num_chunks = num_chunks_obj ? as_int32(num_chunks_obj) : 4;
    int32_t per_chunk_lock = per_chunk_lock_obj ? as_int32(per_chunk_lock_obj) : 0;
    int32_t length = length_obj ? as_int32(length_obj) : -1;
    require_list_or_none(chunk_ref_list, "chunk_ref_list");

    QuorBaseObject* b = as_base(self);
    if (num_chunks < 1) raise(PyExc_ValueError, "Number of buckets must be greater than 0");
    Ref ray = names.lookup("ray");
    Ref initialised = call_method(ray.get(), "is_initialized");
    if (!check(PyObject_IsTrue(initialised.get()))) refuse_uninitialised_ray(self);

    b->num_chunks = num_chunks;
    if (meta_ref == Py_None) {
      check(b->ops->init_meta(self, num_chunks));
    } else {
      set_field(b->quor_meta_ref, meta_ref);
    }
    if (chunk_ref_list == Py_None) {
      check(b->ops->init_new_chunk_list(self, num_chunks, value));
      check_assertion(b->chunk_ref_list != Py_None);
    } else {
      check_assertion(length != -1);
      set_field(b->chunk_ref_list, chunk_ref_list);
      b->length = length;
    }
    if (!PyList_Check(b->chunk_ref_list))
      raise(PyExc_TypeError, "chunk_ref_list must be a list of chunk handles");
    Py_ssize_t chunks = PyList_GET_SIZE(b->chunk_ref_list);
    Ref chunk_list = list_of_none(chunks);
    set_field(b->chunk_list, chunk_list.get());
    reset_changed(b, chunks);

    if (lock == Py_None) {
      Ref lock_class = names.lookup("QuorLock");
      Ref new_lock = call_method(lock_class.get(), "remote");
      set_field(b->lock, new_lock.get());
    } else {
      set_field(b->lock, lock);
    }
    Ref lock_factory = names.lookup("Lock");
    Ref local_lock = Ref::check(PyObject_CallNoArgs(lock_factory.get()));
    set_field(b->local_lock, local_lock.get());
    b->lock_held = 0;
    b->per_chunk_lock = per_chunk_lock;

    Ref event_class = names.lookup("Event");
    Ref event = Ref::check(PyObject_CallNoArgs(event_class.get()));
    Ref was_set = call_method(event.get(), "set");
    set_field(b->quor_free_to_use, event.get());

    Ref threads = list_of_none(chunks);
    set_field(b->quor_inval_threads, threads.get());

    Ref time_module = names.lookup("time");
    Ref now = call_method(time_module.get(), "time");
    b->last_msg_time = as_int32(now.get());
    return 0;
  });
}

int base_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  QuorBaseObject* b = as_base(self);
  for (auto field : kObjectFields) Py_VISIT(b->*field);
  return 0;
}

// Fields become None rather than null, so that every operation can still run
// (and fail politely) on an object the collector has cleared.
int base_clear(PyObject* self) {
  QuorBaseObject* b = as_base(self);
  for (auto field : kObjectFields) set_field(b->*field, Py_None);
  return 0;
}

void base_dealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  QuorBaseObject* b = as_base(self);
  if (b->weakreflist) PyObject_ClearWeakRefs(self);
  for (auto field : kObjectFields) Py_CLEAR(b->*field);
  PyMem_Free(b->changed);
  b->changed = nullptr;
  b->changed_len = 0;
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef base_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(QuorBaseObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const char kInitDoc[] =
    "@lock: lock object for synchronization. For deserialization, it should be given.\n"
    "@chunk_ref_list: list of ray reference to each chunk for deserializing";

PyObject* init_method(PyObject* self, PyObject* args, PyObject* kwds) {
  if (base_init(self, args, kwds) < 0) return nullptr;
  Py_RETURN_NONE;
}

std::vector<PyMethodDef> all_methods() {
  std::vector<PyMethodDef> methods;
  for (PyMethodDef* m = base_locking_methods; m->ml_name; ++m) methods.push_back(*m);
  for (PyMethodDef* m = base_pickle_methods; m->ml_name; ++m) methods.push_back(*m);
  methods.push_back({nullptr, nullptr, 0, nullptr});
  return methods;
}

}  // namespace

PyTypeObject* make_base_type() {
  static std::vector<PyMethodDef> methods = all_methods();
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "Base of the chunked containers: chunk handles, local copies, the shared "
                      "lock and the version record.")},
      {Py_tp_new, reinterpret_cast<void*>(base_new)},
      {Py_tp_init, reinterpret_cast<void*>(base_init)},
      {Py_tp_traverse, reinterpret_cast<void*>(base_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(base_clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(base_dealloc)},
      {Py_tp_finalize, reinterpret_cast<void*>(base_finalize)},
      {Py_tp_methods, methods.data()},
      {Py_tp_members, base_members},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"quorlib.quorbase.QuorBase", sizeof(QuorBaseObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
  Ref type = Ref::check(PyType_FromSpec(&type_spec));
  // The interpreter fills __init__ with a generic slot wrapper; the documented
  // method replaces it in the type's dict directly, so tp_init stays native.
  static PyMethodDef init_def = {
      "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(init_method)),
      METH_VARARGS | METH_KEYWORDS, kInitDoc};
  auto* cls = reinterpret_cast<PyTypeObject*>(type.get());
  Ref descr = Ref::check(PyDescr_NewMethod(cls, &init_def));
  check(PyDict_SetItemString(cls->tp_dict, "__init__", descr.get()));
  PyType_Modified(cls);
  return reinterpret_cast<PyTypeObject*>(type.release());
}

void reset_changed(QuorBaseObject* b, Py_ssize_t size) {
  auto* fresh = static_cast<uint8_t*>(PyMem_Calloc(size > 0 ? size : 1, 1));
  if (!fresh) throw std::bad_alloc();
  PyMem_Free(b->changed);
  b->changed = fresh;
  b->changed_len = size;
}

void clear_changed(QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept {
  if (chunk_idx >= 0 && chunk_idx < b->changed_len) b->changed[chunk_idx] = 0;
}

bool is_changed(const QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept {
  return chunk_idx >= 0 && chunk_idx < b->changed_len && b->changed[chunk_idx];
}

// Marks outside the current array: the chunk list was replaced by a longer
// one (through __setstate__), so the array grows to cover it.
int mark_changed_slow(PyObject* self, Py_ssize_t chunk_idx) {
  return guard([&] {
    QuorBaseObject* b = as_base(self);
    if (chunk_idx < 0) raise(PyExc_IndexError, "list index out of range");
    Py_ssize_t size = chunk_idx + 1;
    auto* grown = static_cast<uint8_t*>(PyMem_Realloc(b->changed, size));
    if (!grown) throw std::bad_alloc();
    std::memset(grown + b->changed_len, 0, size - b->changed_len);
    b->changed = grown;
    b->changed_len = size;
    b->changed[chunk_idx] = 1;
    return 0;
  });
}

}  // namespace quor::core
