// `Sweep`: many specifications judged over one reading of the files,
// natively, returning to Python only now and then (for progress and
// Ctrl-C); `sweep_combine` joins the partial results of shares of them.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "binding/engine_functions.hpp"
#include "binding/file_common.hpp"
#include "market/symbol_state.hpp"
#include "protocol/handle.hpp"
#include "sweep/judge.hpp"
#include "sweep/sweep_pass.hpp"

namespace zolvar {

namespace {

struct PySweep {
    PyObject_HEAD
    radar::SweepPass* pass;
    radar::SweepOptions* options;
    bool busy;  // advance() runs without the interpreter lock: once at a time
};

// A look-back too long to count saturates, and its window with it: such a
// candidate cannot read states kept for a longer window.
bool saturated(const radar::RadarSpec& spec) {
    for (const radar::Signal& s : spec.signals) {
        if (s.kind == radar::Indicator::FundingFlip || s.kind == radar::Indicator::BookImbalance) continue;
        if (radar::observation_count(s.params.empty() ? 0.0 : s.params[0]) == UINT64_MAX) return true;
    }
    return false;
}

bool metric_of(const char* name, radar::Metric& out) {
    const std::string n = name;
    if (n == "lift") out = radar::Metric::Lift;
    else if (n == "hit_rate") out = radar::Metric::HitRate;
    else if (n == "rank_ic") out = radar::Metric::RankIc;
    else {
        value_error("metric must be lift, hit_rate or rank_ic, not " + n);
        return false;
    }
    return true;
}

PyObject* sweep_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"paths",    "spec_jsons", "horizon", "horizon_name", "horizon_index", "metric",
                                   "format",   "skip_bad",   "notional", "every",       "every_ts",      "bar",
                                   "cooldown", "baseline",   "seed",     "bootstrap",   "file_order",    "split",
                                   "folds",    "blocks",     "top",      "null_runs",   "first",         "total",
                                   nullptr};
    PyObject *paths_obj = nullptr, *specs_obj = nullptr;
    long long horizon = 0, every_ts = 0, bar = 0;
    const char* horizon_name = nullptr;
    const char* metric = "lift";
    const char* format = nullptr;
    int skip_bad = 0, notional = 0, file_order = 0;
    unsigned long long horizon_index = 0, every = 1000, cooldown = 0, baseline = 20, seed = 1, bootstrap = 1000;
    unsigned long long folds = 0, blocks = 8, top = 10, null_runs = 20, first = 0, total = 0;
    double split = 0.7;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOLsK|szppKLLKKKKpdKKKKKK", const_cast<char**>(kwlist),
                                     &paths_obj, &specs_obj, &horizon, &horizon_name, &horizon_index, &metric, &format,
                                     &skip_bad, &notional, &every, &every_ts, &bar, &cooldown, &baseline, &seed,
                                     &bootstrap, &file_order, &split, &folds, &blocks, &top, &null_runs, &first,
                                     &total))
        return nullptr;
    std::vector<std::string> paths, texts;
    radar::FileReadOptions read;
    radar::SweepOptions o;
    if (!string_list(paths_obj, paths) || !string_list(specs_obj, texts) || !format_of(format, read.format) ||
        !metric_of(metric, o.metric))
        return nullptr;
    if (texts.empty()) return value_error("no candidates to sweep");
    if (horizon <= 0) return value_error("the horizon must be positive");
    if (bar < 0) return value_error("bar must be 0 (none) or a positive number of timestamp units");
    if (!(split > 0 && split < 1)) return value_error("split must be between 0 and 1");
    if (folds == 1 || folds > 1000) return value_error("folds must be 2 to 1000 (or 0 for a split)");
    if (blocks < 2 || blocks > 16 || blocks % 2 != 0) return value_error("blocks must be even, 2 to 16");
    if (null_runs > 10000 || top > 1000000) return value_error("null_runs at most 10000, top at most 1000000");
    if (total == 0) total = first + texts.size();
    if (first + texts.size() > total) return value_error("first + candidates exceeds total");
    read.skip_bad = skip_bad != 0;
    read.notional = notional != 0;
    read.bar = bar;
    o.horizon_name = horizon_name;
    o.horizon = horizon;
    o.horizon_index = horizon_index;
    o.cooldown = cooldown;
    o.baseline = baseline;
    o.seed = seed;
    o.bootstrap = bootstrap;
    o.split = split;
    o.folds = static_cast<uint32_t>(folds);
    o.blocks = static_cast<uint32_t>(blocks);
    o.top = static_cast<uint32_t>(top);
    o.null_runs = static_cast<uint32_t>(null_runs);
    o.first = first;
    o.total = total;
    try {
        std::vector<radar::RadarSpec> specs;
        specs.reserve(texts.size());
        bool any_saturated = false;
        for (size_t j = 0; j < texts.size(); ++j) {
            auto created = radar::Handle::create(texts[j]);
            if (!created) return value_error("candidate " + std::to_string(first + j) + ": " + created.error().render());
            any_saturated = any_saturated || saturated(created.value()->spec);
            specs.push_back(std::move(created.value()->spec));
        }
        if (any_saturated && specs.size() > 1)
            for (size_t j = 0; j < specs.size(); ++j)
                if (saturated(specs[j]))
                    return value_error("candidate " + std::to_string(first + j) +
                                       ": a look-back of 2^64 observations or more cannot share states with others");
        auto o_ptr = std::make_unique<radar::SweepOptions>(o);
        auto pass = std::make_unique<radar::SweepPass>(std::move(specs), horizon, std::move(paths), read,
                                                       radar::Checkpoints{every, static_cast<int64_t>(every_ts)},
                                                       file_order == 0);
        std::string error;
        bool opened = false;
        if (!without_interpreter_lock([&] { opened = pass->open(error); })) return nullptr;
        if (!opened) return pass->replay().interrupted() ? interrupted_error() : os_error(error);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* obj = alloc(type, 0);
        if (obj == nullptr) return nullptr;
        auto* self = reinterpret_cast<PySweep*>(obj);
        self->pass = pass.release();
        self->options = o_ptr.release();
        self->busy = false;
        return obj;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

void sweep_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<PySweep*>(obj);
    delete self->pass;
    delete self->options;
    PyTypeObject* type = Py_TYPE(obj);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
    Py_DECREF(type);
}

PySweep* idle(PyObject* obj) {
    auto* self = reinterpret_cast<PySweep*>(obj);
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "this Sweep is advancing on another thread");
        return nullptr;
    }
    return self;
}

PyObject* sweep_advance(PyObject* obj, PyObject* arg) {
    const long long ms = PyLong_AsLongLong(arg);
    if (ms == -1 && PyErr_Occurred()) return nullptr;
    PySweep* self = idle(obj);
    if (self == nullptr) return nullptr;
    self->busy = true;
    radar::SweepPass::Stop stop = radar::SweepPass::Stop::End;
    const bool done = without_interpreter_lock([&] { stop = self->pass->advance(std::chrono::milliseconds(ms)); });
    self->busy = false;
    if (!done) return nullptr;
    static const char* kStops[] = {"running", "end", "bad", "fatal"};
    return PyUnicode_FromString(kStops[static_cast<int>(stop)]);
}

// status() -> (events read, clock or None, bytes read, bytes in all, fatal text, smallest ts or None,
//              step back or None, checkpoints, records followed, records waiting, snapshots a bar dropped)
PyObject* sweep_status(PyObject* obj, PyObject*) {
    const PySweep* self = idle(obj);
    if (self == nullptr) return nullptr;
    const radar::SweepPass& p = *self->pass;
    return replay_status(p.replay(), p.clocks().size(), p.tracker().records(), p.tracker().pending());
}

PyObject* sweep_bad(PyObject* obj, PyObject*) {
    const PySweep* self = idle(obj);
    return self ? bad_list(self->pass->replay().bad()) : nullptr;
}

PyObject* sweep_skipped(PyObject* obj, PyObject*) {
    const PySweep* self = idle(obj);
    return self ? skipped_list(self->pass->replay().skipped()) : nullptr;
}

// partial() -> bytes: this pass's candidates judged, for sweep_combine
PyObject* sweep_partial(PyObject* obj, PyObject*) {
    PySweep* self = idle(obj);
    if (self == nullptr) return nullptr;
    std::string bytes;
    self->busy = true;
    const bool done = without_interpreter_lock([&] {
        bytes = radar::judge_pass(*self->pass, *self->options).serialize();
    });
    self->busy = false;
    if (!done) return nullptr;
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// sweep_combine([bytes, ...]) -> the sweep's JSON text
PyObject* sweep_combine(PyObject*, PyObject* arg) {
    const Py_ssize_t n = PySequence_Size(arg);
    if (n < 0) return nullptr;
    std::vector<std::string> blobs;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_GetItem(arg, i);
        if (item == nullptr) return nullptr;
        char* data = nullptr;
        Py_ssize_t size = 0;
        const int rc = PyBytes_AsStringAndSize(item, &data, &size);
        if (rc == 0) blobs.emplace_back(data, static_cast<size_t>(size));
        Py_DECREF(item);
        if (rc < 0) return nullptr;
    }
    std::string out;
    bool ok = false;
    const bool done = without_interpreter_lock([&] {
        std::vector<radar::SweepPartial> parts(blobs.size());
        for (size_t i = 0; i < blobs.size(); ++i)
            if (!parts[i].parse(blobs[i])) {
                out = "partial result " + std::to_string(i) + " is damaged or not a sweep's";
                return;
            }
        ok = radar::combine_partials(parts, out);
    });
    if (!done) return nullptr;
    if (!ok) return value_error(out);
    return new_str(out, "replace");
}

PyMethodDef sweep_methods[] = {
    {"advance", sweep_advance, METH_O,
     "advance(milliseconds)\n--\n\nReads for about that long: 'running', 'end', 'bad' or 'fatal'."},
    {"status", sweep_status, METH_NOARGS,
     "status()\n--\n\n(events read, largest ts or None, bytes read, bytes in all, fatal error text, smallest ts or "
     "None, step back or None, checkpoints, records followed, records waiting, snapshots a bar dropped)."},
    {"bad", sweep_bad, METH_NOARGS, "bad()\n--\n\nThe bad lines so far: (file index, line, error)."},
    {"skipped", sweep_skipped, METH_NOARGS, "skipped()\n--\n\nRows left out, per file, by reason."},
    {"partial", sweep_partial, METH_NOARGS, "partial()\n--\n\nThese candidates judged, as bytes for sweep_combine."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sweep_slots[] = {
    {Py_tp_doc, const_cast<char*>("Sweep(paths, spec_jsons, horizon, horizon_name, horizon_index, metric='lift', ...)")},
    {Py_tp_new, reinterpret_cast<void*>(sweep_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sweep_dealloc)},
    {Py_tp_methods, sweep_methods},
    {0, nullptr},
};

PyType_Spec sweep_spec = {"zolvar_radar._zolvar_engine.Sweep", static_cast<int>(sizeof(PySweep)), 0,
                          Py_TPFLAGS_DEFAULT, sweep_slots};

}  // namespace

PyMethodDef sweep_functions[] = {
    {"sweep_combine", sweep_combine, METH_O,
     "sweep_combine(partials)\n--\n\nThe sweep's JSON text from the partial results of all its shares."},
    {nullptr, nullptr, 0, nullptr},
};

int add_sweep_types(PyObject* module) {
    PyObject* type = PyType_FromSpec(&sweep_spec);
    if (type == nullptr) return -1;
    const int rc = PyModule_AddObjectRef(module, "Sweep", type);
    Py_DECREF(type);
    return rc;
}

}  // namespace zolvar
