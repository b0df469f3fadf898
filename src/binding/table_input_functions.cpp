// Reading Arrow tables natively: `TableScan` takes a stream exported
// through the Arrow PyCapsule interface (`__arrow_c_stream__`) and reads its
// batches into states with the interpreter lock released, scoring them once.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "arrow/table_scan.hpp"
#include "binding/engine_functions.hpp"
#include "binding/file_common.hpp"
#include "binding/radar_object.hpp"
#include "binding/table_common.hpp"
#include "protocol/handle.hpp"
#include "scan/commands.hpp"
#include "state/save.hpp"

namespace zolvar {

namespace {

struct PyTableScan {
    PyObject_HEAD
    radar::Handle* handle;
    radar::arrow::TableScan* scan;
    radar::arrow::LayoutError* missing;  // a column every row needs, found missing when opened
    radar::BarFilter* bars;              // without scoring: the bars left open, or null
    int state;                           // 0 ready, 1 running, 2 done
    bool score;                          // run() scores; else the states wait for partial_state()
};

bool utf8_of(PyObject* obj, std::string& out, const char* what) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &size) : nullptr;
    if (data == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must be str", what);
        return false;
    }
    out.assign(data, static_cast<size_t>(size));
    return true;
}

// {our name: the table's name} into the options; false with an exception set.
bool column_names(PyObject* mapping, radar::arrow::TableScanOptions& options) {
    if (mapping == Py_None) return true;
    if (!PyDict_Check(mapping)) {
        PyErr_SetString(PyExc_TypeError, "columns must be a dict {field: column name}");
        return false;
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(mapping, &pos, &key, &value)) {
        std::string ours, theirs;
        if (!utf8_of(key, ours, "a columns key") || !utf8_of(value, theirs, "a column name")) return false;
        size_t f = 0;
        while (f < radar::arrow::kFieldCount && radar::arrow::kFieldNames[f] != ours) ++f;
        if (f == radar::arrow::kFieldCount) {
            PyErr_Format(PyExc_ValueError, "columns: \"%s\" is no event field", ours.c_str());
            return false;
        }
        options.names[f] = std::move(theirs);
    }
    return true;
}

}  // namespace

bool table_options(const char* kind, PyObject* columns, radar::arrow::TableScanOptions& options) {
    if (kind != nullptr) {
        size_t k = 0;
        while (k < 3 && radar::arrow::kKindFields[k].name != kind) ++k;
        if (k == 3) {
            PyErr_Format(PyExc_ValueError, "kind must be 'derivatives', 'orderbook' or 'liquidation', not '%s'", kind);
            return false;
        }
        options.kind = static_cast<radar::Event::Kind>(k);
    }
    return column_names(columns, options);
}

bool take_stream(PyObject* capsule, ArrowArrayStream& out) {
    auto* given = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (given == nullptr) return false;
    if (given->release == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the Arrow stream was already consumed");
        return false;
    }
    out = *given;
    given->release = nullptr;
    return true;
}

PyObject* table_error(const radar::arrow::LayoutError& error) {
    if (error.missing.empty()) return value_error(error.message);
    PyObject* args = Py_BuildValue("(ss)", error.missing.c_str(), error.needed_by.c_str());
    if (args != nullptr) {
        PyErr_SetObject(PyExc_LookupError, args);
        Py_DECREF(args);
    }
    return nullptr;
}

namespace {

PyObject* table_scan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"stream",  "spec_json", "kind",      "columns", "skip_bad",
                                   "threads", "bar",       "part_rows", "score",   nullptr};
    PyObject* capsule = nullptr;
    const char* spec_text = nullptr;
    Py_ssize_t spec_size = 0;
    const char* kind = nullptr;
    PyObject* columns = Py_None;
    int skip_bad = 0;
    Py_ssize_t threads = 0;
    long long bar = 0, part_rows = 0;
    int score = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os#|zOpnLLp", const_cast<char**>(kwlist), &capsule, &spec_text,
                                     &spec_size, &kind, &columns, &skip_bad, &threads, &bar, &part_rows, &score))
        return nullptr;
    if (bar < 0) {
        PyErr_SetString(PyExc_ValueError, "bar must be 0 (none) or a positive number of timestamp units");
        return nullptr;
    }
    radar::arrow::TableScanOptions options;
    if (!table_options(kind, columns, options)) return nullptr;
    options.skip_bad = skip_bad != 0;
    options.threads = threads > 0 ? static_cast<size_t>(threads) : 0;
    options.bar = bar;
    options.part_rows = part_rows;
    try {
        auto created = radar::Handle::create(std::string_view(spec_text, static_cast<size_t>(spec_size)));
        if (!created) return value_error(created.error().render());
        ArrowArrayStream stream;
        if (!take_stream(capsule, stream)) return nullptr;
        auto scan = std::make_unique<radar::arrow::TableScan>(stream, std::move(options));
        auto missing = std::make_unique<radar::arrow::LayoutError>();
        bool opened = false;
        if (!without_interpreter_lock([&] { opened = scan->open(*missing); })) return nullptr;
        if (!opened && missing->missing.empty()) return value_error(missing->message);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* obj = alloc(type, 0);
        if (obj == nullptr) return nullptr;
        auto* self = reinterpret_cast<PyTableScan*>(obj);
        self->handle = created.value().release();
        self->scan = scan.release();
        self->missing = opened ? nullptr : missing.release();
        self->bars = nullptr;
        self->state = 0;
        self->score = score != 0;
        return obj;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

void table_scan_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<PyTableScan*>(obj);
    delete self->scan;
    delete self->missing;
    delete self->bars;
    delete self->handle;
    PyTypeObject* type = Py_TYPE(obj);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
    Py_DECREF(type);
}

// (the table's name for a column it lacks, the kind of row that needs it or "")
PyObject* missing_tuple(const radar::arrow::LayoutError& e) {
    return Py_BuildValue("(ss)", e.missing.c_str(), e.needed_by.c_str());
}

// run() -> (result text, [(row, error)], events, rows, snapshots a bar left
// out, None or (missing column, kind needing it)).
PyObject* table_scan_run(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyTableScan*>(obj);
    if (self->state != 0) {
        PyErr_SetString(PyExc_RuntimeError, "a TableScan runs once");
        return nullptr;
    }
    self->state = 1;
    if (self->missing != nullptr) {
        self->state = 2;
        return Py_BuildValue("(sOKKKN)", "", Py_None, 0ULL, 0ULL, 0ULL, missing_tuple(*self->missing));
    }
    radar::arrow::TableScanResult result;
    std::string text;
    uint64_t dropped = 0;
    const bool done = without_interpreter_lock([&] {
        result = self->scan->run(self->handle->spec);
        if (!result.fatal.empty() || result.interrupted || !result.missing.missing.empty()) return;
        const uint64_t window = radar::window_length(self->handle->spec);
        self->handle->dataset = std::move(result.dataset);
        if (result.bars) dropped = result.bars->dropped();
        if (!self->score) {  // the bars stay open for partial_state()
            if (result.bars) self->bars = new radar::BarFilter(std::move(*result.bars));
            return;
        }
        if (result.bars) {
            result.bars->close_all(
                [&](std::string_view symbol, const radar::Event& e) { self->handle->dataset.ingest(window, symbol, e); });
        }
        auto answer = radar::alerts_command(self->handle->spec, self->handle->dataset);
        text = answer.ok() ? std::move(answer.value()) : answer.error().render();
    });
    self->state = 2;
    if (!done) return nullptr;
    if (result.interrupted) {
        if (PyErr_CheckSignals() < 0) return nullptr;
        PyErr_SetString(PyExc_InterruptedError, "the scan was interrupted by a signal");
        return nullptr;
    }
    if (!result.missing.missing.empty())
        return Py_BuildValue("(sOKKKN)", "", Py_None, 0ULL, 0ULL, 0ULL, missing_tuple(result.missing));
    if (!result.fatal.empty()) return os_error("reading the table: " + result.fatal);
    PyObject* answer = self->score ? new_str(text, "strict") : Py_NewRef(Py_None);
    PyObject* bad = answer ? PyList_New(0) : nullptr;
    for (size_t i = 0; bad != nullptr && i < result.bad.size(); ++i) {
        PyObject* error = new_str(result.bad[i].error, "replace");
        PyObject* item = error ? Py_BuildValue("(KO)", static_cast<unsigned long long>(result.bad[i].row), error)
                               : nullptr;
        Py_XDECREF(error);
        if (item == nullptr || PyList_Append(bad, item) < 0) Py_CLEAR(bad);
        Py_XDECREF(item);
    }
    PyObject* out = bad ? Py_BuildValue("(OOKKKO)", answer, bad, static_cast<unsigned long long>(result.events),
                                        static_cast<unsigned long long>(result.rows),
                                        static_cast<unsigned long long>(dropped), Py_None)
                        : nullptr;
    Py_XDECREF(answer);
    Py_XDECREF(bad);
    return out;
}

// The names of the table's columns, in order.
PyObject* table_scan_columns(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyTableScan*>(obj);
    const auto& names = self->scan->layout().names;
    PyObject* list = PyList_New(0);
    for (size_t i = 0; list != nullptr && i < names.size(); ++i) {
        PyObject* name = new_str(names[i], "replace");
        if (name == nullptr || PyList_Append(list, name) < 0) Py_CLEAR(list);
        Py_XDECREF(name);
    }
    return list;
}

// The radar holding the states read, handed over once after run().
PyObject* table_scan_take_radar(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyTableScan*>(obj);
    if (self->state != 2 || self->handle == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no states to take: run() first, and only once");
        return nullptr;
    }
    std::unique_ptr<radar::Handle> handle(self->handle);
    self->handle = nullptr;
    return wrap_handle(std::move(handle));
}

// The states read as a partial state (after run() without scoring), for
// merging with the partial states of what came before or after.
PyObject* table_scan_partial_state(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyTableScan*>(obj);
    if (self->state != 2 || self->handle == nullptr || self->score) {
        PyErr_SetString(PyExc_RuntimeError, "no partial state: run() first, made with score=False");
        return nullptr;
    }
    try {
        const std::string bytes =
            radar::save_partial(radar::window_length(self->handle->spec), self->handle->dataset, self->bars);
        return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

PyObject* table_scan_progress(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyTableScan*>(obj);
    return PyLong_FromUnsignedLongLong(self->scan->rows_done());
}

PyMethodDef table_scan_methods[] = {
    {"run", table_scan_run, METH_NOARGS,
     "run()\n--\n\n(result text, bad rows, events, rows, dropped, missing column or None)."},
    {"columns", table_scan_columns, METH_NOARGS, "columns()\n--\n\nThe table's column names."},
    {"take_radar", table_scan_take_radar, METH_NOARGS, "take_radar()\n--\n\nA Radar holding the states read."},
    {"partial_state", table_scan_partial_state, METH_NOARGS,
     "partial_state()\n--\n\nThe states read, bars open, as a partial state (score=False)."},
    {"progress", table_scan_progress, METH_NOARGS, "progress()\n--\n\nRows read so far."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot table_scan_slots[] = {
    {Py_tp_doc, const_cast<char*>("TableScan(stream, spec_json, kind=None, columns=None, skip_bad=False, threads=0, "
                                  "bar=0, part_rows=0, score=True)")},
    {Py_tp_new, reinterpret_cast<void*>(table_scan_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_scan_dealloc)},
    {Py_tp_methods, table_scan_methods},
    {0, nullptr},
};

PyType_Spec table_scan_spec = {"zolvar_radar._zolvar_engine.TableScan", static_cast<int>(sizeof(PyTableScan)), 0,
                               Py_TPFLAGS_DEFAULT, table_scan_slots};

}  // namespace

int add_table_input_types(PyObject* module) {
    PyObject* type = PyType_FromSpec(&table_scan_spec);
    if (type == nullptr) return -1;
    const int rc = PyModule_AddObjectRef(module, "TableScan", type);
    Py_DECREF(type);
    return rc;
}

}  // namespace zolvar
