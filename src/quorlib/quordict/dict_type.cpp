// The QuorDict class: its constructor, slots and method table. Allocation,
// GC, finalisation and release are inherited from QuorBase; the class adds
// no fields.
#include "quordict.hpp"
#include "quorlib/args.hpp"
#include "quorlib/int32.hpp"

namespace quor::dict {
namespace {

int dict_init(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&] {
    static const char* kwlist[] = {"value",          "num_chunks", "lock",   "per_chunk_lock",
                                   "chunk_ref_list", "meta_ref",   "length", nullptr};
    PyObject *value = Py_None, *num_chunks_arg = nullptr, *lock = Py_None, *per_chunk_lock_arg = nullptr,
             *chunk_ref_list = Py_None, *meta_ref = Py_None, *length_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOOOOO:__init__", const_cast<char**>(kwlist), &value,
                                     &num_chunks_arg, &lock, &per_chunk_lock_arg, &chunk_ref_list,
                                     &meta_ref, &length_arg))
      throw PyErrSet{};
    const int32_t num_chunks = num_chunks_arg ? as_int32(num_chunks_arg) : 32;
    const int32_t per_chunk_lock = per_chunk_lock_arg ? as_int32(per_chunk_lock_arg) : 0;
    const int32_t length = length_arg ? as_int32(length_arg) : -1;
    require_exact_or_none(value, &PyDict_Type, "value");
    require_list_or_none(chunk_ref_list, "chunk_ref_list");
    Ref base_args = Ref::check(Py_BuildValue("(iOOiOOi)", num_chunks, value, lock, per_chunk_lock,
                                             chunk_ref_list, meta_ref, length));
    return check(g_api->base_type->tp_init(self, base_args.get(), nullptr));
  });
}

PyMethodDef dict_methods[] = {
    // QuorDict[str, int] in annotations evaluated at run time, as dict[str, int] works.
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "See PEP 585: QuorDict[K, V] for type annotations."},
    {"keys", dict_keys, METH_NOARGS, "keys($self, /)\n--\n\nA new list of the keys, grouped by chunk."},
    {"values", dict_values, METH_NOARGS,
     "values($self, /)\n--\n\nA new list of the values, in the order of keys()."},
    {"items", dict_items, METH_NOARGS,
     "items($self, /)\n--\n\nA new list of (key, value) pairs, in the order of keys()."},
    {"clear", dict_clear, METH_NOARGS, "clear($self, /)\n--\n\nEmpties every chunk."},
    {"__reduce__", dict_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickles by reference: rebuild with the handles of the shared state."},
    // COEXIST: the method, with its documentation, replaces the slot wrapper.
    {"__repr__", dict_repr_method, METH_NOARGS | METH_COEXIST, kReprDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef rebuild_def = {
    "rebuild", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dict_rebuild)),
    METH_VARARGS | METH_KEYWORDS,
    "rebuild(chunk_ref_list, num_chunks, meta_ref, length, lock, per_chunk_lock)\n--\n\n"
    "A QuorDict sharing the given chunks, version record and lock, with nothing resident."};

PyType_Slot dict_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "QuorDict(value=None, num_chunks=32, lock=None, per_chunk_lock=0, "
                    "chunk_ref_list=None, meta_ref=None, length=-1)\n--\n\n"
                    "A dictionary whose items are split by key hash over num_chunks chunks, each\n"
                    "held by its own Ray actor. Use it inside `with d:` blocks.")},
    {Py_tp_init, reinterpret_cast<void*>(dict_init)},
    {Py_tp_repr, reinterpret_cast<void*>(dict_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(dict_iter)},
    {Py_tp_methods, dict_methods},
    {Py_mp_subscript, reinterpret_cast<void*>(dict_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(dict_ass_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(dict_length)},
    {Py_sq_length, reinterpret_cast<void*>(dict_length)},
    {Py_sq_item, reinterpret_cast<void*>(dict_sq_item)},
    {Py_sq_contains, reinterpret_cast<void*>(dict_contains)},
    {Py_tp_richcompare, reinterpret_cast<void*>(dict_richcompare)},
    {Py_nb_or, reinterpret_cast<void*>(dict_or)},
    {Py_nb_inplace_or, reinterpret_cast<void*>(dict_inplace_or)},
    // The base's GC functions, filled in at creation: the class adds no fields,
    // but a type with Py_TPFLAGS_HAVE_GC must name its traverse explicitly.
    {Py_tp_traverse, nullptr},
    {Py_tp_clear, nullptr},
    {0, nullptr},
};

PyType_Spec dict_spec = {
    "quorlib.quordict.QuorDict",
    int(sizeof(QuorBaseObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    dict_slots,
};

}  // namespace

PyTypeObject* create_dict_type(PyObject* module) {
  for (PyType_Slot* slot = dict_slots; slot->slot; ++slot) {
    if (slot->slot == Py_tp_traverse) slot->pfunc = reinterpret_cast<void*>(g_api->base_type->tp_traverse);
    if (slot->slot == Py_tp_clear) slot->pfunc = reinterpret_cast<void*>(g_api->base_type->tp_clear);
  }
  PyObject* type = PyType_FromModuleAndSpec(module, &dict_spec, reinterpret_cast<PyObject*>(g_api->base_type));
  if (!type) throw PyErrSet{};
  return reinterpret_cast<PyTypeObject*>(type);
}

// Bound with the module's name, so that pickle finds it as
// quorlib.quordict.QuorDict.rebuild without searching sys.modules.
void attach_rebuild(PyTypeObject* type, PyObject* module) {
  Ref module_name = Ref::check(PyModule_GetNameObject(module));
  Ref function = Ref::check(PyCFunction_NewEx(&rebuild_def, reinterpret_cast<PyObject*>(type), module_name.get()));
  Ref static_method = Ref::check(PyStaticMethod_New(function.get()));
  check(PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), "rebuild", static_method.get()));
}

}  // namespace quor::dict
