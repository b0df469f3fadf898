// What the binding's readers of Arrow tables share: the stream out of its
// capsule, the reading options, and the error of a table that cannot be read.
#pragma once

#include <Python.h>

#include "arrow/table_scan.hpp"

namespace zolvar {

// A capsule's stream, taken over (the capsule keeps a released husk); false with an exception set.
bool take_stream(PyObject* capsule, ArrowArrayStream& out);
// kind (or null) and columns ({field: name} or None) into the options; false with an exception set.
bool table_options(const char* kind, PyObject* columns, radar::arrow::TableScanOptions& options);
// null, with LookupError((column, kind needing it or "")) for a missing column, else ValueError.
PyObject* table_error(const radar::arrow::LayoutError& error);

}  // namespace zolvar
