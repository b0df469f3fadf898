// Reading market-data files natively into a radar's state.
#include <Python.h>

#include "binding/engine_functions.hpp"

namespace zolvar {

PyMethodDef file_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zolvar
