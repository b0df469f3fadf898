// The module `zolvar_radar._zolvar_engine`: what the package adds around
// the radar (reading files, saved states). It lives in the same shared
// library as `_zolvar_radar`, so both share one core and one Radar type;
// the package loads it from that library's file under its own name.
#include <Python.h>

#include "binding/engine_functions.hpp"
#include "binding/radar_object.hpp"

namespace zolvar {
namespace {

int engine_exec(PyObject* module) {
    // Radar objects made here must be of the one Radar type.
    PyObject* radar_module = PyImport_ImportModule("zolvar_radar._zolvar_radar");
    if (radar_module == nullptr) return -1;
    Py_DECREF(radar_module);
    for (PyMethodDef* table : engine_function_tables()) {
        if (PyModule_AddFunctions(module, table) < 0) return -1;
    }
    if (add_table_input_types(module) < 0) return -1;
    if (add_live_types(module) < 0) return -1;
    if (add_file_types(module) < 0 || add_evaluate_types(module) < 0) return -1;
    return add_sweep_types(module);
}

PyModuleDef_Slot engine_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(engine_exec)},
    {0, nullptr},
};

PyModuleDef engine_def = {
    PyModuleDef_HEAD_INIT,
    "_zolvar_engine",
    "File reading and saved states around the radar (`zolvar_radar._zolvar_engine`).",
    0,
    nullptr,
    engine_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zolvar

PyMODINIT_FUNC PyInit__zolvar_engine(void) { return PyModuleDef_Init(&zolvar::engine_def); }
