// Module quorlib.quorbase: creates the core types, binds the names the core
// looks up at each use, and publishes the API the container modules import.
#include <vector>

#include "core.hpp"

namespace quor::core {

ModuleNames names;
PyTypeObject* chunk_type = nullptr;
PyTypeObject* base_type = nullptr;
PyObject* write_back_error = nullptr;
bool assertions_enabled = true;

namespace {

struct Registered {
  PyTypeObject* type;
  const BaseOps* ops;
  WriteFailureHook on_write_failure;
};
std::vector<Registered> registry;

const Registered* find_registered(PyTypeObject* type) {
  for (PyTypeObject* t = type; t; t = t->tp_base)
    for (const Registered& r : registry)
      if (r.type == t) return &r;
  return nullptr;
}

// QuorMeta(num_chunks): an ordinary class, so that it pickles by value with
// the interpreter's own machinery on its way to and from the record's proxy.
PyObject* quor_meta_init(PyObject*, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"self", "num_chunks", nullptr};
    PyObject* self = nullptr;
    PyObject* num_chunks_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:__init__", const_cast<char**>(kwlist), &self,
                                     &num_chunks_obj))
      throw PyErrSet{};
    int32_t n = as_int32(num_chunks_obj);
    Ref versions = Ref::check(PyList_New(n > 0 ? n : 0));
    for (int32_t i = 0; i < n; ++i) PyList_SET_ITEM(versions.get(), i, PyLong_FromLong(0));
    check(PyObject_SetAttrString(self, "chunk_versions", versions.get()));
    Py_RETURN_NONE;
  });
}

PyMethodDef quor_meta_init_def = {
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(quor_meta_init)),
    METH_VARARGS | METH_KEYWORDS, "Sets chunk_versions to num_chunks zeros."};

void bind_from(PyObject* module, const char* source, std::initializer_list<const char*> attrs) {
  Ref imported = Ref::check(PyImport_ImportModule(source));
  for (const char* attr : attrs) {
    Ref value = get_attr(imported.get(), attr);
    check(PyModule_AddObjectRef(module, attr, value.get()));
  }
}

void add_type(PyObject* module, const char* name, PyTypeObject* type) {
  check(PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)));
}

const BaseApi api = {
    kApiVersion,
    sizeof(QuorBaseObject),
    sizeof(QuorChunkObject),
    nullptr,  // types are filled in at module load
    nullptr,
    &base_ops,
    register_type,
    mark_changed_slow,
};
BaseApi published_api;

void exec_module(PyObject* module) {
  names.bind(module);
  Ref sys_flags = get_attr(PySys_GetObject("flags"), "optimize");
  assertions_enabled = PyLong_AsLong(sys_flags.get()) == 0;

  chunk_type = make_chunk_type();
  base_type = make_base_type();
  registry.push_back({base_type, &base_ops, nullptr});
  write_back_error = PyErr_NewExceptionWithDoc(
      "quorlib.quorbase.WriteBackError",
      "Writing local chunk copies back to their actors failed.\n\n"
      "`chunks` lists the chunk indices whose write failed; the first failure\n"
      "is the __cause__. The failed copies stay resident.",
      PyExc_RuntimeError, nullptr);
  if (!write_back_error) throw PyErrSet{};

  check(PyModule_AddObjectRef(module, "ray", Ref::check(PyImport_ImportModule("ray")).get()));
  bind_from(module, "quorlib.quorlock", {"QuorLock"});
  bind_from(module, "quorlib.quorproxy",
            {"QuorProxy", "gen_quor_id", "QuorCacheLocalMSI", "QuorCacheDirMSI"});
  check(PyModule_AddObjectRef(module, "time", Ref::check(PyImport_ImportModule("time")).get()));
  bind_from(module, "asyncio", {"Event"});
  check(PyModule_AddObjectRef(module, "threading",
                              Ref::check(PyImport_ImportModule("threading")).get()));
  bind_from(module, "threading", {"Thread", "Lock"});

  Ref meta_class = Ref::check(make_quor_meta_class(module));
  check(PyModule_AddObjectRef(module, "QuorMeta", meta_class.get()));
  add_type(module, "QuorChunk", chunk_type);
  add_type(module, "QuorBase", base_type);
  check(PyModule_AddObjectRef(module, "WriteBackError", write_back_error));
  static PyMethodDef functions[] = {unpickle_base_def, {nullptr, nullptr, 0, nullptr}};
  check(PyModule_AddFunctions(module, functions));

  published_api = api;
  published_api.base_type = base_type;
  published_api.chunk_type = chunk_type;
  Ref capsule = Ref::check(PyCapsule_New(&published_api, kApiCapsuleName, nullptr));
  check(PyModule_AddObjectRef(module, "_C_API", capsule.get()));
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quorlib.quorbase",
    "Chunked container core: chunk handles, the version record and QuorBase.", -1, nullptr,
};

}  // namespace

PyObject* make_quor_meta_class(PyObject* module) {
  Ref init_fn = Ref::check(PyCFunction_NewEx(&quor_meta_init_def, nullptr, nullptr));
  Ref init_method = Ref::check(PyInstanceMethod_New(init_fn.get()));
  Ref ns = Ref::check(Py_BuildValue(
      "{s:O,s:s,s:s,s:s}", "__init__", init_method.get(), "__module__",
      PyModule_GetName(module), "__qualname__", "QuorMeta", "__doc__",
      "QuorMeta(num_chunks)\n\nVersion record of a container: chunk_versions[i] counts the "
      "fetches of chunk i."));
  return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "QuorMeta",
                               ns.get());
}

int register_type(PyTypeObject* type, const BaseOps* ops, WriteFailureHook on_write_failure) {
  return guard([&] {
    if (!PyType_IsSubtype(type, base_type))
      raise(PyExc_TypeError, "only subtypes of QuorBase carry a table of internal operations");
    registry.push_back({type, ops, on_write_failure});
    return 0;
  });
}

const BaseOps* ops_for(PyTypeObject* type) {
  const Registered* r = find_registered(type);
  return r ? r->ops : &base_ops;
}

WriteFailureHook write_failure_hook_for(PyTypeObject* type) {
  const Registered* r = find_registered(type);
  return r ? r->on_write_failure : nullptr;
}

PyTypeObject* native_type_of(PyTypeObject* type) {
  const Registered* r = find_registered(type);
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
