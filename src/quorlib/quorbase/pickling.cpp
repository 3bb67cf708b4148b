// The by-value pickled form of a bare QuorBase (and of interpreter subclasses
// without a form of their own): the twelve fields in alphabetical order.
#include "core.hpp"
#include "quorlib/args.hpp"

namespace quor::core {
namespace {

constexpr long kChecksum = 0x5e1d0c3;
constexpr long kAcceptedChecksums[] = {0x5e1d0c3, 0x2b7a9f4, 0x9c04e61};
constexpr Py_ssize_t kStateFields = 12;

PyObject* base_reduce(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const Names& n = state_of(self).names;
    QuorBaseObject* b = as_base(self);
    Ref dict = instance_dict(self, n.str___dict__);
    Ref last_msg_time = new_int(b->last_msg_time), length = new_int(b->length),
        num_chunks = new_int(b->num_chunks), per_chunk_lock = new_int(b->per_chunk_lock);
    PyObject* fields[] = {last_msg_time.get(), b->local_lock,      b->lock,
                          b->quor_free_to_use, b->quor_inval_threads, b->quor_meta,
                          b->quor_meta_ref,    b->chunk_list,      b->chunk_ref_list,
                          length.get(),        num_chunks.get(),   per_chunk_lock.get(),
                          dict.get()};
    Py_ssize_t count = dict ? kStateFields + 1 : kStateFields;
    Ref state = Ref::check(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(state.get(), i, Py_NewRef(fields[i]));
    bool with_setstate = bool(dict);
    if (!with_setstate) {
      PyObject* objects[] = {b->local_lock,         b->lock,      b->quor_free_to_use,
                             b->quor_inval_threads, b->quor_meta, b->quor_meta_ref,
                             b->chunk_list,         b->chunk_ref_list};
      for (PyObject* o : objects) with_setstate |= (o != Py_None);
    }
    Ref unpickle = n.lookup(n.str__unpickle_QuorBase);
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    Ref checksum = new_int(kChecksum);
    if (with_setstate) {
      Ref args = Ref::check(PyTuple_Pack(3, type, checksum.get(), Py_None));
      return PyTuple_Pack(3, unpickle.get(), args.get(), state.get());
    }
    Ref args = Ref::check(PyTuple_Pack(3, type, checksum.get(), state.get()));
    return PyTuple_Pack(2, unpickle.get(), args.get());
  });
}

void require_list_or_none_state(PyObject* value) {
  if (value != Py_None) require_list(value);
}

// Applies a state tuple field by field; a failing element leaves the fields
// before it assigned.
void apply_state(PyObject* self, PyObject* state) {
  require_tuple(state);
  const Names& n = state_of(self).names;
  QuorBaseObject* b = as_base(self);
  auto item = [&](Py_ssize_t i) { return state_item(state, i); };
  b->last_msg_time = as_int32(item(0));
  set_field(b->local_lock, item(1));
  set_field(b->lock, item(2));
  set_field(b->quor_free_to_use, item(3));
  require_list_or_none_state(item(4));
  set_field(b->quor_inval_threads, item(4));
  set_field(b->quor_meta, item(5));
  set_field(b->quor_meta_ref, item(6));
  require_list_or_none_state(item(7));
  set_field(b->chunk_list, item(7));
  set_field(b->carried, Py_None);
  reset_changed(b, PyList_Check(b->chunk_list) ? PyList_GET_SIZE(b->chunk_list) : 0);
  require_list_or_none_state(item(8));
  set_field(b->chunk_ref_list, item(8));
  b->length = as_int32(item(9));
  b->num_chunks = as_int32(item(10));
  b->per_chunk_lock = as_int32(item(11));
  apply_instance_dict(self, state, kStateFields, n.str___dict__, n.str_update);
}

PyObject* base_setstate(PyObject* self, PyObject* state) {
  return guard([&]() -> PyObject* {
    apply_state(self, state);
    Py_RETURN_NONE;
  });
}

[[noreturn]] void refuse_checksum(PyObject* checksum) {
  Ref hex = checksum_hex(checksum);
  Ref message = Ref::check(PyUnicode_FromFormat(
      "Incompatible checksums (0x%U vs (0x5e1d0c3, 0x2b7a9f4, 0x9c04e61) = (_last_msg_time, "
      "_local_lock, _lock, _quor_free_to_use, _quor_inval_threads, _quor_meta, _quor_meta_ref, "
      "chunk_list, chunk_ref_list, length, num_chunks, per_chunk_lock))",
      hex.get()));
  raise_pickle_error(message.get());
}

PyObject* unpickle_base(PyObject* module, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"type", "checksum", "state", nullptr};
    PyObject *type, *checksum, *state;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO:_unpickle_QuorBase",
                                     const_cast<char**>(kwlist), &type, &checksum, &state))
      throw PyErrSet{};
    bool accepted = false;
    for (long known : kAcceptedChecksums)
      accepted |= check(PyObject_RichCompareBool(checksum, new_int(known).get(), Py_EQ)) == 1;
    if (!accepted) refuse_checksum(checksum);
    const CoreState& st = state_of_module(module);
    if (!PyType_Check(type) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type), st.base_type))
      raise_format(PyExc_TypeError, "%R is not a subtype of QuorBase", type);
    // Allocation alone, through the nearest native class, so that a container
    // class gets its own table and fields set up; __init__ does not run.
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    PyTypeObject* native = native_type_of(st, cls);
    Ref empty = Ref::check(PyTuple_New(0));
    Ref self = Ref::check(native->tp_new(cls, empty.get(), nullptr));
    if (state != Py_None) apply_state(self.get(), state);
    return self.release();
  });
}

}  // namespace

PyMethodDef unpickle_base_def = {
    "_unpickle_QuorBase", as_cfunction(unpickle_base),
    METH_VARARGS | METH_KEYWORDS, "_unpickle_QuorBase(type, checksum, state): rebuilds a pickled QuorBase."};

PyMethodDef base_pickle_methods[] = {
    {"__reduce__", base_reduce, METH_NOARGS, "The by-value pickled form of the base's fields."},
    {"__setstate__", base_setstate, METH_O, "Applies a pickled state tuple."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quor::core
