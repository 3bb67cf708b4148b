// quorlib.quordict: loads quorbase, derives QuorDict from QuorBase with its
// own chunk-list initialiser, and binds the Ray services by name.
#include "quordict.hpp"

namespace quor::dict {

const BaseApi* g_api = nullptr;
ModuleNames g_names;
PyTypeObject* g_dict_type = nullptr;
bool g_assertions = true;

namespace {

// The base's table with the first entry replaced; QuorDict instances carry it.
BaseOps g_dict_ops;
// Strong references held for the life of the process (raw pointers, so that
// no static destructor runs after the interpreter is gone): g_api points into
// quorbase, and g_names reads this module's namespace.
PyObject* g_base_module = nullptr;
PyObject* g_module = nullptr;

void bind(PyObject* module, const char* name, PyObject* value) {
  check(PyObject_SetAttrString(module, name, value));
}

void bind_from(PyObject* module, const char* from, std::initializer_list<const char*> names) {
  Ref source = Ref::check(PyImport_ImportModule(from));
  for (const char* name : names) bind(module, name, get_attr(source.get(), name).get());
}

void bind_module(PyObject* module, const char* name) {
  Ref imported = Ref::check(PyImport_ImportModule(name));
  bind(module, name, imported.get());
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorlib.quordict",
    "A distributed dictionary for Ray: items split by key hash over chunk actors.",
    -1,
    nullptr,
};

PyObject* init_module() {
  return guard([]() -> PyObject* {
    Ref module = Ref::check(PyModule_Create(&module_def));
    Ref base_module;
    g_api = import_base_api(base_module);
    g_dict_ops = *g_api->base_ops;
    g_dict_ops.init_new_chunk_list = &init_new_chunk_list;

    Ref type = Ref::steal(reinterpret_cast<PyObject*>(create_dict_type(module.get())));
    check(g_api->register_type(reinterpret_cast<PyTypeObject*>(type.get()), &g_dict_ops, nullptr));
    bind(module.get(), "QuorDict", type.get());
    add_mapping_methods(reinterpret_cast<PyTypeObject*>(type.get()));

    bind_module(module.get(), "ray");
    bind_from(module.get(), "quorlib.quorlock", {"QuorLock"});
    bind_from(module.get(), "quorlib.quorproxy",
              {"QuorProxy", "gen_quor_id", "QuorCacheLocalMSI", "QuorCacheDirMSI"});
    bind_module(module.get(), "time");
    attach_rebuild(reinterpret_cast<PyTypeObject*>(type.get()), module.get());

    Ref flags = Ref::borrow(PySys_GetObject("flags"));
    if (flags) {
      Ref optimize = get_attr(flags.get(), "optimize");
      g_assertions = PyLong_AsLong(optimize.get()) == 0;
    }
    g_names.bind(module.get());
    g_dict_type = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process's life
    g_base_module = base_module.release();
    g_module = module.new_ref();
    return module.release();
  });
}

}  // namespace
}  // namespace quor::dict

PyMODINIT_FUNC PyInit_quordict() { return quor::dict::init_module(); }
