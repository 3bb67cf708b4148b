// QuorList as an object: allocation, construction (a new list cut into
// chunks, or the adoption of an existing list's handles), cycle collection,
// release, the pickled form and the printed form.
#include <algorithm>

#include "list.hpp"

namespace quor::list {
namespace {

BaseOps list_ops;  // the base's table with the chunk-list builder replaced

const char kInitDoc[] =
    "@lock: lock object for synchronization. For deserialization, it should be given.\n"
    "@chunk_ref_list: list of ray reference to each chunk for deserializing";

PyObject* list_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    Ref self = Ref::check(state.api->base_type->tp_new(type, args, kwds));
    as_list(self.get())->meta = Py_NewRef(Py_None);
    return self.release();
  });
}

// Piece `i` of an initial value of `size` elements cut by `capacity`: the
// positions i*capacity up to (i+1)*capacity, clipped to the value. A capacity
// of 0 or less gives every chunk nothing.
struct Piece {
  Py_ssize_t begin, end;
};
Piece piece_of(Py_ssize_t size, int32_t capacity, int32_t i) {
  if (capacity <= 0) return {0, 0};
  long long begin = static_cast<long long>(i) * capacity;
  long long end = begin + capacity;
  begin = std::min<long long>(begin, size);
  end = std::min<long long>(end, size);
  return {static_cast<Py_ssize_t>(begin), static_cast<Py_ssize_t>(end)};
}

Ref call_remote_class(const char* class_name, PyObject* args, PyObject* kwds) {
  Ref cls = state.names.lookup(class_name);
  Ref remote = get_attr(cls.get(), "remote");
  return Ref::check(PyObject_Call(remote.get(), args, kwds));
}

// The usage-count proxy and the last-chunk proxy of a new list, holding the
// counts that the chunk-list builder placed.
void create_usage_proxies(PyObject* self, int32_t num_chunks, PyObject* value) {
  ListChunkMetaObject* meta = record_of(self, "max_element_per_chunk");
  int32_t capacity = meta->max_element_per_chunk;
  Py_ssize_t size = value == Py_None ? 0 : PyList_GET_SIZE(value);
  Ref counts = Ref::check(PyList_New(num_chunks));
  int32_t last_used = 0;
  for (int32_t i = 0; i < num_chunks; ++i) {
    Piece p = piece_of(size, capacity, i);
    if (p.end > p.begin) last_used = i;
    PyList_SET_ITEM(counts.get(), i, Ref::check(PyLong_FromSsize_t(p.end - p.begin)).release());
  }

  Ref count_args = Ref::check(PyTuple_Pack(1, counts.get()));
  Ref count_kwds = Ref::check(Py_BuildValue("{s:O}", "cache_class", Py_None));
  Ref usage_proxy = call_remote_class("QuorProxy", count_args.get(), count_kwds.get());
  set_field(record_of(self, "chunk_used")->chunk_used, usage_proxy.get());

  Ref last_value = new_int(last_used);
  Ref last_args = Ref::check(PyTuple_Pack(2, last_value.get(), Py_None));
  Ref last_proxy = call_remote_class("QuorProxy", last_args.get(), nullptr);
  set_field(record_of(self, "last_used_chunk")->last_used_chunk, last_proxy.get());
}

int list_init_new_chunk_list(PyObject* self, int32_t num_chunks, PyObject* value) {
  return guard([&] {
    check_assertion(value == Py_None || PyList_Check(value), "Value must be a list");
    int32_t capacity = record_of(self, "max_element_per_chunk")->max_element_per_chunk;
    Py_ssize_t size = value == Py_None ? 0 : PyObject_Size(value);
    if (size < 0) throw PyErrSet{};
    if (size > INT32_MAX) raise(PyExc_OverflowError, kIntTooLarge);

    Ref proxy_class = state.names.lookup("QuorProxy");
    Ref remote = get_attr(proxy_class.get(), "remote");
    Ref dir_cache = state.names.lookup("QuorCacheDirMSI");
    Ref local_cache_class = state.names.lookup("QuorCacheLocalMSI");
    Ref chunk_refs = Ref::check(PyList_New(0));
    for (int32_t i = 0; i < std::max(num_chunks, 0); ++i) {
      Piece p = piece_of(size, capacity, i);
      Ref piece = value == Py_None ? Ref::check(PyList_New(0))
                                   : Ref::check(PySequence_GetSlice(value, p.begin, p.end));
      Ref proxy = Ref::check(
          PyObject_CallFunctionObjArgs(remote.get(), piece.get(), dir_cache.get(), nullptr));
      Ref local_cache = Ref::check(PyObject_CallNoArgs(local_cache_class.get()));
      Ref handle = Ref::check(PyObject_CallFunctionObjArgs(
          reinterpret_cast<PyObject*>(state.api->chunk_type), proxy.get(), local_cache.get(),
          nullptr));
      check(PyList_Append(chunk_refs.get(), handle.get()));
    }
    set_field(as_base(self)->chunk_ref_list, chunk_refs.get());
    // The whole count, placed or not: the next read of the counts corrects it.
    as_base(self)->length = static_cast<int32_t>(size);
    return 0;
  });
}

int list_init(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&] {
    static const char* kwlist[] = {"num_chunks",     "value",    "lock",   "per_chunk_lock",
                                   "chunk_ref_list", "meta_ref", "length", "meta",
                                   nullptr};
    PyObject* num_chunks_obj = nullptr;
    PyObject* value = Py_None;
    PyObject* lock = Py_None;
    PyObject* per_chunk_lock_obj = nullptr;
    PyObject* chunk_ref_list = Py_None;
    PyObject* meta_ref = Py_None;
    PyObject* length_obj = nullptr;
    PyObject* meta = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOOOOOO:__init__", const_cast<char**>(kwlist),
                                     &num_chunks_obj, &value, &lock, &per_chunk_lock_obj,
                                     &chunk_ref_list, &meta_ref, &length_obj, &meta))
      throw PyErrSet{};
    int32_t num_chunks = num_chunks_obj ? as_int32(num_chunks_obj) : 32;
    int32_t per_chunk_lock = per_chunk_lock_obj ? as_int32(per_chunk_lock_obj) : 0;
    int32_t length = length_obj ? as_int32(length_obj) : -1;
    require_list_or_none(value, "value");
    require_list_or_none(chunk_ref_list, "chunk_ref_list");
    if (meta != Py_None && !PyObject_TypeCheck(meta, state.meta_type))
      raise_format(PyExc_TypeError, "Argument 'meta' has incorrect type (expected %s, got %s)",
                   state.meta_type->tp_name, Py_TYPE(meta)->tp_name);

    // An explicit None gets a record of its own, like an omitted meta: a list
    // without one would fail on every later operation.
    Ref record = meta == Py_None
                     ? Ref::check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(state.meta_type)))
                     : Ref::borrow(meta);
    // Attached before the base runs: the chunk-list builder reads the capacity.
    set_field(as_list(self)->meta, record.get());

    Ref base_args = Ref::check(Py_BuildValue("(iOOiOOi)", static_cast<int>(num_chunks), value,
                                             lock, static_cast<int>(per_chunk_lock),
                                             chunk_ref_list, meta_ref, static_cast<int>(length)));
    check(state.api->base_type->tp_init(self, base_args.get(), nullptr));
    // Adopting an existing list: its record already holds the usage proxies.
    if (chunk_ref_list != Py_None) return 0;
    create_usage_proxies(self, num_chunks, value);
    return 0;
  });
}

PyObject* init_method(PyObject* self, PyObject* args, PyObject* kwds) {
  if (list_init(self, args, kwds) < 0) return nullptr;
  Py_RETURN_NONE;
}

int list_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_list(self)->meta);
  return state.api->base_type->tp_traverse(self, visit, arg);
}

int list_clear_refs(PyObject* self) {
  set_field(as_list(self)->meta, Py_None);
  return state.api->base_type->tp_clear(self);
}

void list_dealloc(PyObject* self) {
  // The base's finaliser writes resident chunks back and needs the object whole.
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  Py_CLEAR(as_list(self)->meta);
  state.api->base_type->tp_dealloc(self);
}

PyObject* list_reduce(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    QuorBaseObject* b = as_base(self);
    Ref rebuild = get_attr(self, "rebuild");
    return Py_BuildValue("(O(OiOiOiO))", rebuild.get(), b->chunk_ref_list,
                         static_cast<int>(b->num_chunks), b->quor_meta_ref,
                         static_cast<int>(b->length), b->lock,
                         static_cast<int>(b->per_chunk_lock), as_list(self)->meta);
  });
}

PyObject* list_rebuild(PyObject*, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"chunk_ref_list", "num_chunks",     "meta_ref", "length",
                                   "lock",           "per_chunk_lock", "meta",     nullptr};
    PyObject *chunk_ref_list, *num_chunks, *meta_ref, *length, *lock, *per_chunk_lock, *meta;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOOOO:rebuild", const_cast<char**>(kwlist),
                                     &chunk_ref_list, &num_chunks, &meta_ref, &length, &lock,
                                     &per_chunk_lock, &meta))
      throw PyErrSet{};
    // Always QuorList itself, whatever class the pickled list had.
    return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(state.list_type), num_chunks,
                                        Py_None, lock, per_chunk_lock, chunk_ref_list, meta_ref,
                                        length, meta, nullptr);
  });
}

PyMethodDef rebuild_def = {
    "rebuild", as_cfunction(list_rebuild), METH_VARARGS | METH_KEYWORDS,
    "rebuild(chunk_ref_list, num_chunks, meta_ref, length, lock, per_chunk_lock, meta)\n--\n\n"
    "A QuorList around the references of a pickled one: it shares the chunk proxies, the "
    "version record, the lock and the usage record, and holds no chunk until used."};

PyObject* list_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    Ref chunks = Ref::borrow(as_base(self)->chunk_list);
    Ref text = Ref::check(PyObject_Format(chunks.get(), nullptr));
    return PyUnicode_FromFormat("QuorList(%U)", text.get());
  });
}

PyMethodDef list_methods[] = {
    // QuorList[int] in annotations evaluated at run time, as list[int] works.
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "See PEP 585: QuorList[T] for type annotations."},
    {"_fetch_chunk_usage_and_length", as_cfunction(list_fetch_usage_method),
     METH_VARARGS | METH_KEYWORDS,
     "_fetch_chunk_usage_and_length(index) -> list\n\n"
     "Reads the per-chunk counts, records their sum as the length and refuses a non-negative "
     "index at or past it."},
    {"append", as_cfunction(list_append), METH_VARARGS | METH_KEYWORDS,
     "append($self, /, item)\n--\n\nAdds item at the end. OverflowError when every chunk from the last one "
     "in use on is full."},
    {"extend", as_cfunction(list_extend), METH_VARARGS | METH_KEYWORDS,
     "extend($self, /, items)\n--\n\nAppends the items one by one; stops at the first refused append."},
    {"insert", as_cfunction(list_insert), METH_VARARGS | METH_KEYWORDS,
     "insert($self, /, index, item)\n--\n\nInserts item before the element at index, inside that "
     "element's chunk. The index must name an existing element."},
    {"pop", as_cfunction(list_pop), METH_VARARGS | METH_KEYWORDS,
     "pop($self, /, index=-1)\n--\n\nRemoves and returns the element at index; later chunks each pass "
     "their first element back so that only the last chunk in use shrinks."},
    {"remove", as_cfunction(list_remove), METH_VARARGS | METH_KEYWORDS,
     "remove($self, /, item)\n--\n\nRemoves the first element equal to item (ValueError if none)."},
    {"clear", list_clear, METH_NOARGS,
     "clear($self, /)\n--\n\nEmpties every chunk (fetching each) and resets the counts."},
    {"index", as_cfunction(list_index), METH_VARARGS | METH_KEYWORDS,
     "index($self, /, item, start=0, end=-1)\n--\n\n"
     "Position of the first element equal to item, searching whole chunks from chunk `start` "
     "up to the last chunk in use.\n\n"
     "`start` is a chunk index and the position returned counts from the first element of "
     "chunk `start`. A negative `start` counts chunks from the end of the chunk list, as "
     "list.index counts positions from the end (start + num_chunks, and chunk 0 below "
     "-num_chunks); the search never wraps around. `end` bounds the number of elements "
     "passed, checked between chunks; -1 means no bound. ValueError when not found."},
    {"__reduce__", list_reduce, METH_NOARGS,
     "Pickled form: QuorList.rebuild with the list's references, never its contents."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot list_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "QuorList(num_chunks=32, value=None, lock=None, per_chunk_lock=0, "
                    "chunk_ref_list=None, meta_ref=None, length=-1, meta=None)\n--\n\n"
                    "Distributed list: consecutive chunks, each held by its own proxy actor, with "
                    "the per-chunk counts shared through a ListChunkMeta record.")},
    {Py_tp_new, reinterpret_cast<void*>(list_new)},
    {Py_tp_init, reinterpret_cast<void*>(list_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(list_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(list_clear_refs)},
    {Py_tp_dealloc, reinterpret_cast<void*>(list_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(list_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(list_iter)},
    {Py_tp_methods, list_methods},
    {Py_mp_length, reinterpret_cast<void*>(list_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(list_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(list_ass_subscript)},
    {Py_sq_length, reinterpret_cast<void*>(list_length)},
    {Py_sq_item, reinterpret_cast<void*>(list_sq_item)},
    {Py_sq_contains, reinterpret_cast<void*>(list_contains)},
    {Py_tp_richcompare, reinterpret_cast<void*>(list_richcompare)},
    {Py_nb_add, reinterpret_cast<void*>(list_add)},
    {Py_nb_multiply, reinterpret_cast<void*>(list_multiply)},
    {Py_nb_inplace_add, reinterpret_cast<void*>(list_inplace_add)},
    {Py_nb_inplace_multiply, reinterpret_cast<void*>(list_inplace_multiply)},
    {0, nullptr},
};

}  // namespace

PyTypeObject* make_list_type(PyObject* module) {
  PyObject* base = reinterpret_cast<PyObject*>(state.api->base_type);
  PyType_Spec type_spec = {"quorlib.quorlist.QuorList", sizeof(QuorListObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, list_slots};
  Ref type = Ref::check(PyType_FromSpecWithBases(&type_spec, base));
  auto* list_type = reinterpret_cast<PyTypeObject*>(type.get());

  // The interpreter fills __init__ with a generic slot wrapper; the documented
  // method replaces it in the type's dict directly, so tp_init stays native.
  static PyMethodDef init_def = {"__init__", as_cfunction(init_method),
                                 METH_VARARGS | METH_KEYWORDS, kInitDoc};
  Ref init_descr = Ref::check(PyDescr_NewMethod(list_type, &init_def));
  check(PyDict_SetItemString(list_type->tp_dict, "__init__", init_descr.get()));
  PyType_Modified(list_type);

  // rebuild is a static method bound to the type, so that it is named
  // QuorList.rebuild and pickles by reference through the class; it carries
  // the module's name as its __module__.
  Ref module_name = Ref::check(PyUnicode_FromString(PyModule_GetName(module)));
  Ref function = Ref::check(PyCFunction_NewEx(&rebuild_def, type.get(), module_name.get()));
  Ref static_method = Ref::check(PyStaticMethod_New(function.get()));
  check(PyObject_SetAttrString(type.get(), "rebuild", static_method.get()));

  list_ops = *state.api->base_ops;
  list_ops.init_new_chunk_list = list_init_new_chunk_list;
  check(state.api->register_type(list_type, &list_ops, repair_counts_after_failed_write));
  return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace quor::list
