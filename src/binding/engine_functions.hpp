// The function tables of `_zolvar_engine`, one per concern, each ended by
// an all-null entry.
#pragma once

#include <Python.h>

#include <array>

namespace zolvar {

extern PyMethodDef file_functions[];
extern PyMethodDef state_functions[];
extern PyMethodDef table_functions[];
extern PyMethodDef sweep_functions[];
// Adds FileScan and FileReplay; -1 with an exception set.
int add_file_types(PyObject* module);
// Adds Evaluation; -1 with an exception set.
int add_evaluate_types(PyObject* module);
// Adds Sweep; -1 with an exception set.
int add_sweep_types(PyObject* module);
// Adds TableScan; -1 with an exception set.
int add_table_input_types(PyObject* module);
// Adds LiveFeed; -1 with an exception set.
int add_live_types(PyObject* module);

inline std::array<PyMethodDef*, 4> engine_function_tables() {
    return {file_functions, state_functions, table_functions, sweep_functions};
}

}  // namespace zolvar
