// Module quorlib.quorlist: the usage record, the list derived from the core's
// QuorBase, and the names of Ray and the services that the list looks up at
// each use.
#include "list.hpp"

namespace quor::list {

ModuleState state;

namespace {

void add_ref(PyObject* module, const char* name, PyObject* value) {
  check(PyModule_AddObjectRef(module, name, value));
}

void bind_from(PyObject* module, const char* source, std::initializer_list<const char*> attrs) {
  Ref imported = Ref::check(PyImport_ImportModule(source));
  for (const char* attr : attrs) add_ref(module, attr, get_attr(imported.get(), attr).get());
}

void load(PyObject* module) {
  state.names.bind(module);
  Ref optimize = get_attr(PySys_GetObject("flags"), "optimize");
  state.assertions = PyLong_AsLong(optimize.get()) == 0;

  state.meta_type = make_meta_type();
  add_ref(module, "ListChunkMeta", reinterpret_cast<PyObject*>(state.meta_type));

  Ref quorbase;
  state.api = import_base_api(quorbase);
  state.quorbase = quorbase.release();
  state.list_type = make_list_type(module);
  add_sequence_methods(state.list_type);
  state.iter_type = make_iter_type();
  add_ref(module, "QuorList", reinterpret_cast<PyObject*>(state.list_type));

  add_ref(module, "ray", Ref::check(PyImport_ImportModule("ray")).get());
  bind_from(module, "quorlib.quorlock", {"QuorLock"});
  bind_from(module, "quorlib.quorproxy",
            {"QuorProxy", "gen_quor_id", "QuorCacheLocalMSI", "QuorCacheDirMSI"});

  static PyMethodDef functions[] = {unpickle_meta_def, {nullptr, nullptr, 0, nullptr}};
  check(PyModule_AddFunctions(module, functions));
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quorlib.quorlist",
    "Distributed list: QuorList, cut into chunks held by proxy actors, and its usage record "
    "ListChunkMeta.",
    -1, nullptr,
};

}  // namespace
}  // namespace quor::list

PyMODINIT_FUNC PyInit_quorlist() {
  using namespace quor;
  return guard([]() -> PyObject* {
    Ref module = Ref::check(PyModule_Create(&list::module_def));
    list::load(module.get());
    return module.release();
  });
}
