// QuorBase as an object: allocation, construction, cycle collection and
// release. The chunk protocol is in residency.cpp, locking and the finaliser
// in locking.cpp, the by-value pickled form in pickling.cpp.

#include <vector>

#include "core.hpp"

#include <structmember.h>

namespace quor::core {
namespace {

using Fields = ObjectFields<QuorBaseObject, &QuorBaseObject::chunk_ref_list,
                            &QuorBaseObject::chunk_list, &QuorBaseObject::lock,
                            &QuorBaseObject::local_lock, &QuorBaseObject::quor_free_to_use,
                            &QuorBaseObject::quor_inval_threads, &QuorBaseObject::quor_meta,
                            &QuorBaseObject::quor_meta_ref, &QuorBaseObject::grant,
                            &QuorBaseObject::block_failures, &QuorBaseObject::carried>;

PyObject* base_new(PyTypeObject* type, PyObject*, PyObject*) {
  return guard([&]() -> PyObject* {
    const CoreState& st = state_of_type(type);
    Ref self = Ref::check(type->tp_alloc(type, 0));
    as_base(self.get())->ops = ops_for(st, type);
    Fields::init(self.get());
    return self.release();
  });
}

Ref list_of_none(Py_ssize_t n) {
  Ref list = Ref::check(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(Py_None));
  return list;
}

void refuse_uninitialised_ray(const Names& n, PyObject* self) {
  Ref type_name = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), n.str___name__);
  Ref message = Ref::check(PyUnicode_FromFormat("Ray must be initialized to use %U", type_name.get()));
  print_line_and_pause(n, message.get());
  PyErr_SetObject(PyExc_AssertionError, message.get());
  throw PyErrSet{};
}

const InitSignature kBaseSignature = {
    {"num_chunks", "value", "lock", "per_chunk_lock", "chunk_ref_list", "meta_ref", "length",
     nullptr},
    4,
    nullptr,
};

int base_init(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&] {
    InitArgs parsed = parse_init_args(args, kwds, kBaseSignature);
    return base_init_from(self, parsed);
  });
}

// Fields become None rather than null, so that every operation can still run
// (and fail politely) on an object the collector has cleared.
int base_clear(PyObject* self) { return Fields::clear(self); }

// The finaliser runs first (it needs the object whole); the trashcan frees a
// deep chain of containers holding containers one level at a time instead of
// recursing. Nothing here reads the module's state, which the interpreter's
// teardown may have cleared by now.
void base_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, base_dealloc)
  PyObject_GC_Track(self);
  if (PyObject_CallFinalizerFromDealloc(self) == 0) {  // else resurrected
    PyObject_GC_UnTrack(self);
    QuorBaseObject* b = as_base(self);
    if (b->weakreflist) PyObject_ClearWeakRefs(self);
    free_changed(b);
    Fields::dealloc(self);
  }
  Py_TRASHCAN_END
}

// A refused construction leaves no chunk list: such an instance never held a
// copy to write back or a thread to join, so freeing it reports nothing. Nor
// does an instance freed while the interpreter shuts down: Ray has stopped by
// then, and its class or module may already be torn down.
void finalize_if_constructed(PyObject* self) {
  if (!PyList_Check(as_base(self)->chunk_list)) return;
  if (interpreter_finalizing() || !find_module_by_def(Py_TYPE(self), &module_def)) return;
  base_finalize(self);
}

PyMemberDef base_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(QuorBaseObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

std::vector<PyMethodDef> all_methods() {
  std::vector<PyMethodDef> methods;
  for (PyMethodDef* m = base_locking_methods; m->ml_name; ++m) methods.push_back(*m);
  for (PyMethodDef* m = base_pickle_methods; m->ml_name; ++m) methods.push_back(*m);
  methods.push_back({nullptr, nullptr, 0, nullptr});
  return methods;
}

}  // namespace

int base_init_from(PyObject* self, const InitArgs& a) {
  return guard([&] {
    const CoreState& st = state_of(self);
    const Names& n = st.names;
    QuorBaseObject* b = as_base(self);
    if (a.num_chunks < 1) raise(PyExc_ValueError, "Number of buckets must be greater than 0");
    Ref ray = n.lookup(n.str_ray);
    Ref initialised = call_method(ray.get(), n.str_is_initialized);
    if (!check(PyObject_IsTrue(initialised.get()))) refuse_uninitialised_ray(n, self);

    b->num_chunks = a.num_chunks;
    // The control actor first: what the container makes (its record, its
    // chunks) lives in it or as long as it does.
    if (a.lock == Py_None) {
      Ref lock_class = n.lookup(n.str_QuorLock);
      Ref new_lock = call_method(lock_class.get(), n.str_remote);
      set_field(b->lock, new_lock.get());
    } else {
      if (a.chunk_ref_list == Py_None || a.meta_ref == Py_None) {
        Ref helpers = n.lookup(n.str_quorlock);
        Ref accepted = call_method(helpers.get(), n.str_require_control, a.lock);
      }
      set_field(b->lock, a.lock);
    }
    if (a.meta_ref == Py_None) {
      init_meta(self, a.num_chunks);
    } else {
      set_field(b->quor_meta_ref, a.meta_ref);
    }
    if (a.chunk_ref_list == Py_None) {
      check(b->ops->init_new_chunk_list(self, a.num_chunks, a.value));
      check_assertion(st, b->chunk_ref_list != Py_None);
    } else {
      check_assertion(st, a.length != -1);
      set_field(b->chunk_ref_list, a.chunk_ref_list);
      b->length = a.length;
    }
    if (!PyList_Check(b->chunk_ref_list))
      raise(PyExc_TypeError, "chunk_ref_list must be a list of chunk handles");
    Py_ssize_t chunks = PyList_GET_SIZE(b->chunk_ref_list);
    Ref chunk_list = list_of_none(chunks);
    set_field(b->chunk_list, chunk_list.get());
    reset_changed(b, chunks);

    Ref lock_factory = n.lookup(n.str_Lock);
    Ref local_lock = call(lock_factory.get());
    set_field(b->local_lock, local_lock.get());
    b->lock_held = 0;
    b->per_chunk_lock = a.per_chunk_lock;

    Ref event_class = n.lookup(n.str_Event);
    Ref event = call(event_class.get());
    Ref was_set = call_method(event.get(), n.str_set);
    set_field(b->quor_free_to_use, event.get());

    Ref threads = list_of_none(chunks);
    set_field(b->quor_inval_threads, threads.get());

    Ref time_module = n.lookup(n.str_time);
    Ref now = call_method(time_module.get(), n.str_time);
    b->last_msg_time = as_int32(now.get());
    return 0;
  });
}

PyTypeObject* make_base_type(PyObject* module) {
  static std::vector<PyMethodDef> methods = all_methods();
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "Base of the chunked containers: chunk handles, local copies, the shared "
                      "lock and the version record.")},
      {Py_tp_new, reinterpret_cast<void*>(base_new)},
      {Py_tp_init, reinterpret_cast<void*>(base_init)},
      {Py_tp_traverse, reinterpret_cast<void*>(Fields::traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(base_clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(base_dealloc)},
      {Py_tp_finalize, reinterpret_cast<void*>(finalize_if_constructed)},
      {Py_tp_methods, nullptr},
      {Py_tp_members, base_members},
      {0, nullptr},
  };
  for (PyType_Slot* s = slots; s->slot; ++s)
    if (s->slot == Py_tp_methods) s->pfunc = methods.data();
  static PyType_Spec type_spec = {"quorlib.quorbase.QuorBase", sizeof(QuorBaseObject), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                                  slots};
  PyTypeObject* type = make_type(module, &type_spec);
  Ref owned = Ref::steal(reinterpret_cast<PyObject*>(type));
  add_documented_init<base_init>(type, kInitDoc);
  return reinterpret_cast<PyTypeObject*>(owned.release());
}

}  // namespace quor::core
