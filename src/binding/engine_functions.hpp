// The function tables of `_zolvar_engine`, one per concern, each ended by
// an all-null entry.
#pragma once

#include <Python.h>

#include <array>

namespace zolvar {

extern PyMethodDef file_functions[];

inline std::array<PyMethodDef*, 1> engine_function_tables() { return {file_functions}; }

}  // namespace zolvar
