// `Evaluation`: a replay that follows every alert onset's price, natively,
// returning to Python only now and then (for progress and Ctrl-C).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "binding/engine_functions.hpp"
#include "binding/file_common.hpp"
#include "binding/table_common.hpp"
#include "arrow/table_input.hpp"
#include "evaluate/evaluation.hpp"
#include "protocol/handle.hpp"

namespace zolvar {

namespace {

struct PyEvaluation {
    PyObject_HEAD
    radar::Evaluation* evaluation;
    bool busy;  // advance() runs without the interpreter lock: once at a time
};

bool int_list(PyObject* seq, std::vector<int64_t>& out) {
    const Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_GetItem(seq, i);
        if (item == nullptr) return false;
        const long long v = PyLong_AsLongLong(item);
        Py_DECREF(item);
        if (v == -1 && PyErr_Occurred()) return false;
        out.push_back(v);
    }
    return true;
}

PyObject* evaluation_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"paths",   "spec_json", "horizons", "horizon_names", "format",   "skip_bad",
                                   "notional", "every",    "every_ts", "bar",           "cooldown", "baseline",
                                   "seed",    "bootstrap", "file_order", "kind",          "columns",
                                   "judge_from", "judge_to", nullptr};
    PyObject *paths_obj = nullptr, *horizons_obj = nullptr, *names_obj = nullptr;
    const char* spec_text = nullptr;
    Py_ssize_t spec_size = 0;
    const char* format = nullptr;
    int skip_bad = 0, notional = 0, file_order = 0;
    unsigned long long every = 1000, cooldown = 0, baseline = 20, seed = 1, bootstrap = 1000;
    long long every_ts = 0, bar = 0, judge_from = INT64_MIN, judge_to = INT64_MAX;
    const char* kind = nullptr;
    PyObject* columns = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os#OO|zppKLLKKKKpzOLL", const_cast<char**>(kwlist), &paths_obj,
                                     &spec_text, &spec_size, &horizons_obj, &names_obj, &format, &skip_bad, &notional,
                                     &every, &every_ts, &bar, &cooldown, &baseline, &seed, &bootstrap, &file_order,
                                     &kind, &columns, &judge_from, &judge_to))
        return nullptr;
    radar::EvaluateOptions options;
    std::vector<std::string> paths;
    radar::FileReadOptions read;
    // paths: a list of files, or the capsule of an Arrow stream whose rows are read instead
    const bool table = PyCapsule_CheckExact(paths_obj);
    radar::arrow::TableScanOptions table_read;
    if ((table ? !table_options(kind, columns, table_read) : !string_list(paths_obj, paths)) ||
        !int_list(horizons_obj, options.horizons) ||
        !string_list(names_obj, options.horizon_names) || !format_of(format, read.format))
        return nullptr;
    if (options.horizons.empty() || options.horizons.size() != options.horizon_names.size())
        return value_error("give at least one horizon, and a name for each");
    for (size_t i = 0; i < options.horizons.size(); ++i) {
        if (options.horizons[i] <= 0) return value_error("horizon " + options.horizon_names[i] + " is not positive");
        if (i > 0 && options.horizons[i] <= options.horizons[i - 1])
            return value_error("horizons must increase: " + options.horizon_names[i] + " after " +
                               options.horizon_names[i - 1]);
    }
    if (bar < 0) return value_error("bar must be 0 (none) or a positive number of timestamp units");
    read.skip_bad = skip_bad != 0;
    read.notional = notional != 0;
    read.bar = bar;
    options.cooldown = cooldown;
    options.baseline = baseline;
    options.seed = seed;
    options.bootstrap = bootstrap;
    options.judge_from = judge_from;
    options.judge_to = judge_to;
    if (judge_from >= judge_to) return value_error("the judged window is empty: judge_from must be before judge_to");
    try {
        auto created = radar::Handle::create(std::string_view(spec_text, static_cast<size_t>(spec_size)));
        if (!created) return value_error(created.error().message);
        std::vector<std::string> labels;
        created.value()->spec.validate(&labels);
        auto evaluation = std::make_unique<radar::Evaluation>(
            created.value()->spec, std::move(labels), std::move(options), std::move(paths), read,
            radar::Checkpoints{every, static_cast<int64_t>(every_ts)}, file_order == 0);
        radar::arrow::TableInput* rows = nullptr;
        if (table) {
            ArrowArrayStream stream;
            if (!take_stream(paths_obj, stream)) return nullptr;
            table_read.skip_bad = read.skip_bad;
            auto input = std::make_unique<radar::arrow::TableInput>(stream, std::move(table_read));
            rows = input.get();
            evaluation->use_input(std::move(input));
        }
        std::string error;
        // the first line of each file is read here, and a pipe may keep it waiting
        bool opened = false;
        if (!without_interpreter_lock([&] { opened = evaluation->open(error); })) return nullptr;
        if (!opened && rows != nullptr) return table_error(rows->layout_error());
        if (!opened) return evaluation->replay().interrupted() ? interrupted_error() : os_error(error);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* obj = alloc(type, 0);
        if (obj == nullptr) return nullptr;
        auto* self = reinterpret_cast<PyEvaluation*>(obj);
        self->evaluation = evaluation.release();
        self->busy = false;
        return obj;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

void evaluation_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<PyEvaluation*>(obj);
    delete self->evaluation;
    PyTypeObject* type = Py_TYPE(obj);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
    Py_DECREF(type);
}

radar::Evaluation* idle(PyObject* obj) {
    auto* self = reinterpret_cast<PyEvaluation*>(obj);
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "this Evaluation is advancing on another thread");
        return nullptr;
    }
    return self->evaluation;
}

// advance(milliseconds) -> "running", "end", "bad" or "fatal"
PyObject* evaluation_advance(PyObject* obj, PyObject* arg) {
    auto* self = reinterpret_cast<PyEvaluation*>(obj);
    const long long ms = PyLong_AsLongLong(arg);
    if (ms == -1 && PyErr_Occurred()) return nullptr;
    if (idle(obj) == nullptr) return nullptr;
    self->busy = true;
    radar::Evaluation::Stop stop = radar::Evaluation::Stop::End;
    const bool done = without_interpreter_lock([&] { stop = self->evaluation->advance(std::chrono::milliseconds(ms)); });
    self->busy = false;
    if (!done) return nullptr;
    static const char* kStops[] = {"running", "end", "bad", "fatal"};
    return PyUnicode_FromString(kStops[static_cast<int>(stop)]);
}

// status() -> (events read, clock or None, bytes read, bytes in all, fatal text, smallest ts or None,
//              step back in time or None, checkpoints, onsets, records waiting for prices, snapshots a bar dropped)
PyObject* evaluation_status(PyObject* obj, PyObject*) {
    const radar::Evaluation* e = idle(obj);
    if (e == nullptr) return nullptr;
    return replay_status(e->replay(), e->checkpoints(), e->onsets(), e->tracker().pending());
}

PyObject* evaluation_bad(PyObject* obj, PyObject*) {
    const radar::Evaluation* e = idle(obj);
    return e ? bad_list(e->replay().bad()) : nullptr;
}

PyObject* evaluation_skipped(PyObject* obj, PyObject*) {
    const radar::Evaluation* e = idle(obj);
    return e ? skipped_list(e->replay().skipped()) : nullptr;
}

PyObject* evaluation_result(PyObject* obj, PyObject*) {
    radar::Evaluation* e = idle(obj);
    if (e != nullptr) e->settle();
    if (e == nullptr) return nullptr;
    try {
        return new_str(e->result_json(), "replace");
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// records_csv(baseline) -> the onsets' (or baseline draws') CSV text
PyObject* evaluation_records_csv(PyObject* obj, PyObject* arg) {
    const int baseline = PyObject_IsTrue(arg);
    if (baseline < 0) return nullptr;
    radar::Evaluation* e = idle(obj);
    if (e != nullptr) e->settle();
    if (e == nullptr) return nullptr;
    try {
        return new_str(e->records_csv(baseline != 0), "replace");
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// records(baseline) -> [(symbol, clock, severity, factor, price, (return, max, min) per horizon...)]:
// None for what no price gave; baseline draws have no severity or factor.
PyObject* evaluation_records(PyObject* obj, PyObject* arg) {
    const int baseline = PyObject_IsTrue(arg);
    if (baseline < 0) return nullptr;
    radar::Evaluation* e = idle(obj);
    if (e != nullptr) e->settle();
    if (e == nullptr) return nullptr;
    const radar::ForwardTracker& t = e->tracker();
    const size_t horizons = e->options().horizons.size();
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    auto num = [](bool known, double v) { return known ? PyFloat_FromDouble(v) : Py_NewRef(Py_None); };
    for (size_t i = 0; i < t.records().size(); ++i) {
        const radar::Record& r = t.records()[i];
        if (r.baseline != (baseline != 0)) continue;
        const bool priced = r.source != radar::PriceSource::None;
        PyObject* row = PyTuple_New(static_cast<Py_ssize_t>(5 + 4 * horizons));
        if (row == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyTuple_SetItem(row, 0, new_str(t.symbol_name(r.symbol), "replace"));
        PyTuple_SetItem(row, 1, PyLong_FromLongLong(r.clock));
        PyTuple_SetItem(row, 2, num(!r.baseline, r.severity));
        PyTuple_SetItem(row, 3, r.baseline ? Py_NewRef(Py_None)
                                           : new_str(e->factor_keys()[static_cast<size_t>(r.factor)], "replace"));
        PyTuple_SetItem(row, 4, num(priced, r.p0));
        for (size_t h = 0; h < horizons; ++h) {
            const bool done = t.done(i, h);
            const auto at = static_cast<Py_ssize_t>(5 + 4 * h);
            PyTuple_SetItem(row, at, num(done, t.price_at(i, h) / r.p0 - 1));
            PyTuple_SetItem(row, at + 1, num(done, t.high_at(i, h) / r.p0 - 1));
            PyTuple_SetItem(row, at + 2, num(done, t.low_at(i, h) / r.p0 - 1));
            PyTuple_SetItem(row, at + 3, PyBool_FromLong(done));
        }
        bool ok = true;
        for (Py_ssize_t i = 0; i < PyTuple_Size(row); ++i) ok = ok && PyTuple_GetItem(row, i) != nullptr;
        if (!ok || PyList_Append(list, row) < 0) {
            Py_DECREF(row);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(row);
    }
    return list;
}

PyMethodDef evaluation_methods[] = {
    {"advance", evaluation_advance, METH_O,
     "advance(milliseconds)\n--\n\nReplays for about that long: 'running', 'end', 'bad' or 'fatal'."},
    {"status", evaluation_status, METH_NOARGS,
     "status()\n--\n\n(events read, largest ts or None, bytes read, bytes in all, fatal error text, smallest ts or "
     "None, (file, line, from ts, to ts) of a step back or None, checkpoints, onsets, records waiting, "
     "snapshots a bar dropped)."},
    {"bad", evaluation_bad, METH_NOARGS, "bad()\n--\n\nThe bad lines so far: (file index, line, error)."},
    {"skipped", evaluation_skipped, METH_NOARGS, "skipped()\n--\n\nRows left out, per file, by reason."},
    {"result", evaluation_result, METH_NOARGS, "result()\n--\n\nThe statistics as a JSON text."},
    {"records_csv", evaluation_records_csv, METH_O, "records_csv(baseline)\n--\n\nThe onsets or baseline draws as CSV."},
    {"records", evaluation_records, METH_O, "records(baseline)\n--\n\nThe onsets or baseline draws as tuples."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot evaluation_slots[] = {
    {Py_tp_doc, const_cast<char*>("Evaluation(paths, spec_json, horizons, horizon_names, format=None, skip_bad=False, "
                                  "notional=False, every=1000, every_ts=0, bar=0, cooldown=0, baseline=20, seed=1, "
                                  "bootstrap=1000, file_order=False, judge_from=None, judge_to=None)")},
    {Py_tp_new, reinterpret_cast<void*>(evaluation_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(evaluation_dealloc)},
    {Py_tp_methods, evaluation_methods},
    {0, nullptr},
};

PyType_Spec evaluation_spec = {"zolvar_radar._zolvar_engine.Evaluation", static_cast<int>(sizeof(PyEvaluation)), 0,
                               Py_TPFLAGS_DEFAULT, evaluation_slots};

}  // namespace

int add_evaluate_types(PyObject* module) {
    PyObject* type = PyType_FromSpec(&evaluation_spec);
    if (type == nullptr) return -1;
    const int rc = PyModule_AddObjectRef(module, "Evaluation", type);
    Py_DECREF(type);
    return rc;
}

}  // namespace zolvar
