// quorlib.quordict: loads quorbase, derives QuorDict from QuorBase with its
// own chunk-list initialiser, and binds the Ray services by name.
#include "quordict.hpp"

namespace quor::dict {
namespace {

void exec_module(PyObject* module) {
  DictState& st = state_of_module(module);
  st.names.init(module);
  st.assertions = read_assertions_enabled();
  Ref base_module;
  st.base = import_base_api(base_module);
  st.base_module = base_module.release();
  st.ops = *st.base->base_ops;
  st.ops.init_new_chunk_list = &init_new_chunk_list;

  st.dict_type = make_dict_type(module, st);
  add_type(module, st.dict_type);
  bind_services(module);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  DictState& st = state_of_module(module);
  Py_VISIT(st.dict_type);
  Py_VISIT(st.base_module);
  Py_VISIT(st.mapping_abc);
  Py_VISIT(st.deepcopy);
  return 0;
}

int module_clear(PyObject* module) {
  DictState& st = state_of_module(module);
  Py_CLEAR(st.dict_type);
  Py_CLEAR(st.mapping_abc);
  Py_CLEAR(st.deepcopy);
  return 0;
}

// The base module goes last: the table copied from it stays in use until then.
void module_free(void* module) {
  DictState& st = state_of_module(static_cast<PyObject*>(module));
  module_clear(static_cast<PyObject*>(module));
  st.names.clear();
  Py_CLEAR(st.base_module);
}

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorlib.quordict",
    "A distributed dictionary for Ray: items split by key hash over chunk actors.",
    sizeof(DictState),
    nullptr,
    nullptr,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace quor::dict

PyMODINIT_FUNC PyInit_quordict() {
  using namespace quor;
  return guard([]() -> PyObject* {
    Ref module = Ref::check(PyModule_Create(&dict::module_def));
    dict::exec_module(module.get());
    return module.release();
  });
}
