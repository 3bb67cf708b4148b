// Module quorlib.quorbase: creates the core types, binds the names the core
// looks up at each use, keeps the registry of container tables and publishes
// the API the container modules import.
#include "core.hpp"

namespace quor::core {
namespace {

// QuorMeta(num_chunks): an ordinary class, so that it pickles by value with
// the interpreter's own machinery on its way to and from the record's proxy.
PyObject* quor_meta_init(PyObject* module, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"self", "num_chunks", nullptr};
    PyObject* self = nullptr;
    PyObject* num_chunks_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:__init__", const_cast<char**>(kwlist), &self,
                                     &num_chunks_obj))
      throw PyErrSet{};
    int32_t n = as_int32(num_chunks_obj);
    const Names& names = state_of_module(module).names;
    Ref versions = Ref::check(PyList_New(n > 0 ? n : 0));
    for (int32_t i = 0; i < n; ++i) PyList_SET_ITEM(versions.get(), i, new_int(0).release());
    Ref committed = Ref::check(PyList_New(n > 0 ? n : 0));
    for (int32_t i = 0; i < n; ++i) PyList_SET_ITEM(committed.get(), i, new_int(0).release());
    check(PyObject_SetAttr(self, names.str_chunk_versions, versions.get()));
    check(PyObject_SetAttr(self, names.str_committed_epochs, committed.get()));
    Ref epoch = new_int(0);
    check(PyObject_SetAttr(self, names.str_epoch, epoch.get()));
    Py_RETURN_NONE;
  });
}

PyMethodDef quor_meta_init_def = {"__init__", as_cfunction(quor_meta_init),
                                  METH_VARARGS | METH_KEYWORDS,
                                  "Sets chunk_versions and committed_epochs to num_chunks zeros, epoch to 0."};

const Registered* find_registered(const CoreState& st, PyTypeObject* type) {
  for (PyTypeObject* t = type; t; t = t->tp_base)
    for (const Registered& r : *st.registry)
      if (r.type == t) return &r;
  return nullptr;
}

int api_fetch_chunk(PyObject* self, int32_t chunk_idx) {
  return guard([&] {
    fetch_chunk(self, chunk_idx);
    return 0;
  });
}

int api_fetch_chunks(PyObject* self, Py_ssize_t first, Py_ssize_t last) {
  return guard([&] {
    fetch_missing_chunks(self, first, last);
    return 0;
  });
}

bool api_holds_block(PyObject* self) { return holds_block(as_base(self)); }

PyObject* api_block_on_chunks(PyObject* self, PyObject* chunks, bool shared) {
  return guard([&]() -> PyObject* { return scoped_block(self, chunks, shared).release(); });
}

BaseApi published_api = {
    kApiVersion,
    sizeof(QuorBaseObject),
    sizeof(QuorChunkObject),
    nullptr,  // types are filled in at module load
    nullptr,
    &base_ops,
    register_type,
    base_init_from,
    mark_changed_slow,
    api_fetch_chunk,
    api_fetch_chunks,
    api_holds_block,
    refuse_change,
    refuse_key,
    refuse_partial,
    api_block_on_chunks,
};

void exec_module(PyObject* module) {
  CoreState& st = state_of_module(module);
  st.registry = new std::vector<Registered>();
  st.names.init(module);
  st.assertions = read_assertions_enabled();

  st.chunk_type = make_chunk_type(module);
  st.base_type = make_base_type(module);
  st.registry->push_back({st.base_type, &base_ops});
  st.write_back_error = PyErr_NewExceptionWithDoc(
      "quorlib.quorbase.WriteBackError",
      "Writing local chunk copies back to their actors failed.\n\n"
      "Raised at the end of a block means the block was not committed: none\n"
      "of its writes is seen by anyone. `chunks` lists the chunk indices whose\n"
      "write failed (empty when publishing the version record failed); the\n"
      "first failure is the __cause__. The failed copies are dropped.",
      PyExc_RuntimeError, nullptr);
  if (!st.write_back_error) throw PyErrSet{};

  bind_services(module);
  // The lock's client helpers and the block's end, looked up as
  // quorlock.acquire/release and quorblock.BlockEnd/finish at each use.
  Ref quorlock = Ref::check(PyImport_ImportModule("quorlib.quorlock"));
  check(PyModule_AddObjectRef(module, "quorlock", quorlock.get()));
  Ref quorblock = Ref::check(PyImport_ImportModule("quorlib.quorblock"));
  check(PyModule_AddObjectRef(module, "quorblock", quorblock.get()));
  bind_from(module, "asyncio", {"Event"});
  bind_module(module, "threading");
  bind_module(module, "pickle");
  bind_module(module, "copy");
  bind_from(module, "quorlib._failures", {"describe_write_failure"});
  bind_from(module, "quorlib.messages", {"RequesterId", "Scope"});
  bind_from(module, "quorlib.scoped", {"ScopedBlock"});
  bind_from(module, "threading", {"Thread", "Lock"});

  Ref meta_class = make_quor_meta_class(module);
  check(PyModule_AddObjectRef(module, "QuorMeta", meta_class.get()));
  add_type(module, st.chunk_type);
  add_type(module, st.base_type);
  check(PyModule_AddObjectRef(module, "WriteBackError", st.write_back_error));
  static PyMethodDef functions[] = {unpickle_base_def, {nullptr, nullptr, 0, nullptr}};
  check(PyModule_AddFunctions(module, functions));

  published_api.base_type = st.base_type;
  published_api.chunk_type = st.chunk_type;
  Ref capsule = Ref::check(PyCapsule_New(&published_api, kApiCapsuleName, nullptr));
  check(PyModule_AddObjectRef(module, "_C_API", capsule.get()));
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  CoreState& st = state_of_module(module);
  Py_VISIT(st.chunk_type);
  Py_VISIT(st.base_type);
  Py_VISIT(st.write_back_error);
  return 0;
}

int module_clear(PyObject* module) {
  CoreState& st = state_of_module(module);
  Py_CLEAR(st.chunk_type);
  Py_CLEAR(st.base_type);
  Py_CLEAR(st.write_back_error);
  return 0;
}

void module_free(void* module) {
  module_clear(static_cast<PyObject*>(module));
  CoreState& st = state_of_module(static_cast<PyObject*>(module));
  st.names.clear();
  delete st.registry;
  st.registry = nullptr;
}

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorlib.quorbase",
    "Chunked container core: chunk handles, the version record and QuorBase.",
    sizeof(CoreState),
    nullptr,
    nullptr,
    module_traverse,
    module_clear,
    module_free,
};

Ref make_quor_meta_class(PyObject* module) {
  Ref init_fn = Ref::check(PyCFunction_NewEx(&quor_meta_init_def, module, nullptr));
  Ref init_method = Ref::check(PyInstanceMethod_New(init_fn.get()));
  Ref ns = Ref::check(PyDict_New());
  Ref module_name = Ref::check(PyModule_GetNameObject(module));
  Ref name = Ref::check(PyUnicode_FromString("QuorMeta"));
  Ref doc = Ref::check(PyUnicode_FromString(
      "QuorMeta(num_chunks)\n\nVersion record of a container: chunk_versions[i] counts the "
      "commits of chunk i, committed_epochs[i] is the lock epoch of the block that last "
      "committed chunk i, epoch that of the block that published the record."));
  check(PyDict_SetItemString(ns.get(), "__init__", init_method.get()));
  check(PyDict_SetItemString(ns.get(), "__module__", module_name.get()));
  check(PyDict_SetItemString(ns.get(), "__qualname__", name.get()));
  check(PyDict_SetItemString(ns.get(), "__doc__", doc.get()));
  Ref bases = Ref::check(PyTuple_New(0));
  return call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), ns.get());
}

int register_type(PyTypeObject* type, const BaseOps* ops) {
  return guard([&] {
    CoreState& st = state_of_type(type);
    if (!PyType_IsSubtype(type, st.base_type))
      raise(PyExc_TypeError, "only subtypes of QuorBase carry a table of internal operations");
    st.registry->push_back({type, ops});
    return 0;
  });
}

const BaseOps* ops_for(const CoreState& st, PyTypeObject* type) {
  const Registered* r = find_registered(st, type);
  return r ? r->ops : &base_ops;
}

PyTypeObject* native_type_of(const CoreState& st, PyTypeObject* type) {
  const Registered* r = find_registered(st, type);
  return r ? r->type : nullptr;
}

}  // namespace quor::core

PyMODINIT_FUNC PyInit_quorbase() {
  using namespace quor;
  return guard([]() -> PyObject* {
    Ref module = Ref::check(PyModule_Create(&core::module_def));
    core::exec_module(module.get());
    return module.release();
  });
}
