// Module quorlib.quorlist: the usage record, the list derived from the core's
// QuorBase, and the names of Ray and the services that the list looks up at
// each use.
#include "list.hpp"

namespace quor::list {
namespace {

void exec_module(PyObject* module) {
  ListState& st = state_of_module(module);
  st.names.init(module);
  st.assertions = read_assertions_enabled();

  st.meta_type = make_meta_type(module);
  add_type(module, st.meta_type);

  Ref base_module;
  st.base = import_base_api(base_module);
  st.base_module = base_module.release();
  st.list_type = make_list_type(module, st);
  st.iter_type = make_iter_type(module);
  add_type(module, st.list_type);

  bind_services(module);
  static PyMethodDef functions[] = {unpickle_meta_def, {nullptr, nullptr, 0, nullptr}};
  check(PyModule_AddFunctions(module, functions));
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ListState& st = state_of_module(module);
  Py_VISIT(st.meta_type);
  Py_VISIT(st.list_type);
  Py_VISIT(st.iter_type);
  Py_VISIT(st.base_module);
  Py_VISIT(st.sequence_abc);
  Py_VISIT(st.deepcopy);
  return 0;
}

int module_clear(PyObject* module) {
  ListState& st = state_of_module(module);
  Py_CLEAR(st.meta_type);
  Py_CLEAR(st.list_type);
  Py_CLEAR(st.iter_type);
  Py_CLEAR(st.sequence_abc);
  Py_CLEAR(st.deepcopy);
  return 0;
}

// The base module goes last: the table copied from it stays in use until then.
void module_free(void* module) {
  ListState& st = state_of_module(static_cast<PyObject*>(module));
  module_clear(static_cast<PyObject*>(module));
  st.names.clear();
  Py_CLEAR(st.base_module);
}

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorlib.quorlist",
    "Distributed list: QuorList, cut into chunks held by proxy actors, and its usage record "
    "ListChunkMeta.",
    sizeof(ListState),
    nullptr,
    nullptr,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace quor::list

PyMODINIT_FUNC PyInit_quorlist() {
  using namespace quor;
  return guard([]() -> PyObject* {
    Ref module = Ref::check(PyModule_Create(&list::module_def));
    list::exec_module(module.get());
    return module.release();
  });
}
