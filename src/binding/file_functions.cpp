// Reading market-data files natively: `FileScan` reads files into states and
// scores them once; `FileReplay` feeds a Radar from files and stops at each
// checkpoint. Both leave the interpreter lock while they read.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binding/engine_functions.hpp"
#include "binding/file_common.hpp"
#include "binding/radar_object.hpp"
#include "binding/table_common.hpp"
#include "arrow/table_input.hpp"
#include "files/file_read.hpp"
#include "files/interrupt.hpp"
#include "replay/file_replay.hpp"
#include "protocol/handle.hpp"
#include "scan/commands.hpp"
#include "state/crc32c.hpp"
#include "state/load.hpp"
#include "state/save.hpp"

namespace zolvar {

namespace {

bool path_text(PyObject* item, std::string& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
    if (data == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "paths must be str or (str, begin, end)");
        return false;
    }
    out.assign(data, static_cast<size_t>(size));
    return true;
}

// Paths given as str, or as (str, begin, end) for the lines of a plain file
// that start in that byte range.
bool input_list(PyObject* seq, std::vector<std::string>& paths, std::vector<radar::ByteRange>& ranges) {
    const Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_GetItem(seq, i);
        if (item == nullptr) return false;
        radar::ByteRange range;
        std::string path;
        bool ok;
        if (PyTuple_Check(item)) {
            PyObject* name = nullptr;
            unsigned long long begin = 0, end = 0;
            ok = PyArg_ParseTuple(item, "OKK", &name, &begin, &end) && path_text(name, path);
            range = {begin, end};
        } else {
            ok = path_text(item, path);
        }
        Py_DECREF(item);
        if (!ok) return false;
        paths.push_back(std::move(path));
        ranges.push_back(range);
    }
    return true;
}

// --- FileScan -----------------------------------------------------------

struct PyFileScan {
    PyObject_HEAD
    radar::Handle* handle;  // the spec, and the dataset once read
    radar::FileRead* read;
    radar::Dataset* start;  // the states the files continue, or null
    radar::BarFilter* bars;  // bars left open (start's, then the scan's), or null
    std::string* saved;      // with save: the state before its bars closed
    int state;              // 0 ready, 1 running, 2 done
    bool score;             // run() scores, closing the bars first
    bool save;
};

// The bytes of a bytes-like object, copied; false with an exception set.
bool bytes_of(PyObject* obj, std::string& out) {
    if (PyBytes_Check(obj)) {
        out.assign(PyBytes_AsString(obj), static_cast<size_t>(PyBytes_Size(obj)));
        return true;
    }
    PyObject* copy = PyBytes_FromObject(obj);
    if (copy == nullptr) return false;
    out.assign(PyBytes_AsString(copy), static_cast<size_t>(PyBytes_Size(copy)));
    Py_DECREF(copy);
    return true;
}

// A saved state (a radar's or a scan's partial one) whose window must be
// `window`: its dataset and open bars, or a null dataset with a ValueError set.
struct Starting {
    std::unique_ptr<radar::Dataset> dataset;
    std::optional<radar::BarFilter> bars;
};

Starting starting_states(PyObject* obj, uint64_t window) {
    std::string data;
    if (!bytes_of(obj, data)) return {};
    auto loaded = radar::load_state(data);
    if (!loaded) {
        value_error(loaded.error().message);
        return {};
    }
    if (loaded.value().window != window) {
        value_error("state window " + std::to_string(loaded.value().window) +
                    " does not match the specification's window " + std::to_string(window));
        return {};
    }
    return {std::make_unique<radar::Dataset>(std::move(loaded.value().dataset)), std::move(loaded.value().bars)};
}

// Passes the snapshots the bars still hold into the dataset: their intervals end here.
void close_bars(std::optional<radar::BarFilter>& bars, radar::Dataset& dataset, uint64_t window) {
    if (!bars) return;
    bars->close_all([&](std::string_view symbol, const radar::Event& e) { dataset.ingest(window, symbol, e); });
    bars.reset();
}

// `later`'s dataset and bars after `earlier`'s, into `earlier`.
void join_stretches(radar::Dataset& earlier, std::optional<radar::BarFilter>& earlier_bars, radar::Dataset&& later,
                    std::optional<radar::BarFilter>&& later_bars, uint64_t window) {
    if (earlier_bars && later_bars && earlier_bars->width() == later_bars->width()) {
        earlier_bars->merge_later(std::move(*later_bars), [&](std::string_view symbol, const radar::Event& e) {
            earlier.ingest(window, symbol, e);
        });
    } else {
        close_bars(earlier_bars, earlier, window);  // no bars, or others, after them: they end
        earlier_bars = std::move(later_bars);
    }
    earlier.merge_later(std::move(later));
}

PyObject* file_scan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"paths",       "spec_json", "format", "skip_bad", "notional", "threads",
                                   "range_bytes", "state",     "bar",    "score",    "save",   nullptr};
    PyObject* paths_obj = nullptr;
    const char* spec_text = nullptr;
    Py_ssize_t spec_size = 0;
    const char* format = nullptr;
    int skip_bad = 0, notional = 0;
    Py_ssize_t threads = 0;
    unsigned long long range_bytes = 0;
    PyObject* state_obj = Py_None;
    long long bar = 0;
    int score = 1, save = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os#|zppnKOLpp", const_cast<char**>(kwlist), &paths_obj,
                                     &spec_text, &spec_size, &format, &skip_bad, &notional, &threads, &range_bytes,
                                     &state_obj, &bar, &score, &save))
        return nullptr;
    if (bar < 0) {
        PyErr_SetString(PyExc_ValueError, "bar must be 0 (none) or a positive number of timestamp units");
        return nullptr;
    }
    std::vector<std::string> paths;
    std::vector<radar::ByteRange> ranges;
    radar::FileReadOptions options;
    if (!input_list(paths_obj, paths, ranges) || !format_of(format, options.format)) return nullptr;
    options.skip_bad = skip_bad != 0;
    options.notional = notional != 0;
    options.threads = threads > 0 ? static_cast<size_t>(threads) : 0;
    options.range_bytes = range_bytes;
    options.bar = bar;
    try {
        auto created = radar::Handle::create(std::string_view(spec_text, static_cast<size_t>(spec_size)));
        if (!created) return value_error(created.error().render());
        const uint64_t window = radar::window_length(created.value()->spec);
        Starting start;
        if (state_obj != Py_None) {
            start = starting_states(state_obj, window);
            if (!start.dataset) return nullptr;
            // bars of another width, or none now: the saved ones end with the state
            if (start.bars && start.bars->width() != bar) close_bars(start.bars, *start.dataset, window);
        }
        auto read = std::make_unique<radar::FileRead>(std::move(paths), options, std::move(ranges));
        std::string error;
        if (!read->open(error)) return os_error(error);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* obj = alloc(type, 0);
        if (obj == nullptr) return nullptr;
        auto* self = reinterpret_cast<PyFileScan*>(obj);
        self->handle = created.value().release();
        self->read = read.release();
        self->start = start.dataset.release();
        self->bars = start.bars ? new radar::BarFilter(std::move(*start.bars)) : nullptr;
        self->saved = nullptr;
        self->state = 0;
        self->score = score != 0;
        self->save = save != 0;
        return obj;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

void file_scan_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<PyFileScan*>(obj);
    delete self->read;
    delete self->start;
    delete self->bars;
    delete self->saved;
    delete self->handle;
    PyTypeObject* type = Py_TYPE(obj);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
    Py_DECREF(type);
}

// run() -> (result text or None, bad lines, skipped rows, events, lines,
// snapshots a bar left out, lines per path). Without scoring, the text is None and the bars
// stay open for partial_state().
PyObject* file_scan_run(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyFileScan*>(obj);
    if (self->state != 0) {
        PyErr_SetString(PyExc_RuntimeError, "a FileScan runs once");
        return nullptr;
    }
    self->state = 1;
    radar::FileReadResult result;
    std::string text;
    bool scored = false;
    uint64_t dropped = 0;
    const bool done = without_interpreter_lock([&] {
        result = self->read->run(self->handle->spec);
        if (!result.fatal.empty() || result.interrupted) return;
        const uint64_t window = radar::window_length(self->handle->spec);
        std::optional<radar::BarFilter> bars;
        if (self->bars != nullptr) bars = std::move(*self->bars);
        if (self->start != nullptr) {
            // the files continue the saved states
            join_stretches(*self->start, bars, std::move(result.dataset), std::move(result.bars), window);
            result.dataset = std::move(*self->start);
        } else {
            bars = std::move(result.bars);
        }
        self->handle->dataset = std::move(result.dataset);
        if (bars) dropped = bars->dropped();
        if (self->save)
            self->saved = new std::string(radar::save_state(self->handle->spec, self->handle->dataset, bars ? &*bars : nullptr));
        if (!self->score) {
            delete self->bars;
            self->bars = bars ? new radar::BarFilter(std::move(*bars)) : nullptr;
            return;
        }
        close_bars(bars, self->handle->dataset, window);
        auto answer = radar::alerts_command(self->handle->spec, self->handle->dataset);
        scored = answer.ok();
        text = scored ? std::move(answer.value()) : answer.error().render();
    });
    self->state = 2;
    if (!done) return nullptr;
    if (result.interrupted) {
        // The signal's handler says what follows: KeyboardInterrupt for Ctrl-C.
        if (PyErr_CheckSignals() < 0) return nullptr;
        PyErr_SetString(PyExc_InterruptedError, "the scan was interrupted by a signal");
        return nullptr;
    }
    if (!result.fatal.empty()) return os_error(result.fatal);
    if (!scored && !text.empty()) return value_error(text);
    PyObject* answer = scored ? new_str(text, "strict") : Py_NewRef(Py_None);
    PyObject* bad = answer ? bad_list(result.bad) : nullptr;
    PyObject* skipped = bad ? skipped_list(result.skipped) : nullptr;
    PyObject* per_path = skipped ? PyList_New(static_cast<Py_ssize_t>(result.file_lines.size())) : nullptr;
    for (size_t i = 0; per_path != nullptr && i < result.file_lines.size(); ++i) {
        PyObject* n = PyLong_FromUnsignedLongLong(result.file_lines[i]);
        if (n == nullptr || PyList_SetItem(per_path, static_cast<Py_ssize_t>(i), n) < 0) Py_CLEAR(per_path);
    }
    PyObject* out = per_path ? Py_BuildValue("(OOOKKKO)", answer, bad, skipped,
                                             static_cast<unsigned long long>(result.events),
                                             static_cast<unsigned long long>(result.lines),
                                             static_cast<unsigned long long>(dropped), per_path)
                             : nullptr;
    Py_XDECREF(answer);
    Py_XDECREF(bad);
    Py_XDECREF(skipped);
    Py_XDECREF(per_path);
    return out;
}

PyObject* file_scan_progress(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyFileScan*>(obj);
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(self->read->bytes_done()),
                         static_cast<unsigned long long>(self->read->bytes_total()));
}

// The radar holding the states read: the scan's spec and dataset, handed
// over once (the scan keeps nothing after).
PyObject* file_scan_take_radar(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyFileScan*>(obj);
    if (self->state != 2 || self->handle == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no states to take: run() first, and only once");
        return nullptr;
    }
    std::unique_ptr<radar::Handle> handle(self->handle);
    self->handle = nullptr;
    if (self->bars != nullptr) {
        // a radar has no bars: the open ones end here
        std::optional<radar::BarFilter> bars(std::move(*self->bars));
        delete self->bars;
        self->bars = nullptr;
        close_bars(bars, handle->dataset, radar::window_length(handle->spec));
    }
    PyObject* radar_obj = wrap_handle(std::move(handle));
    return radar_obj;
}

// The states read as a partial state: the window and the dataset, for
// merging with the partial states of other files.
PyObject* file_scan_partial_state(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyFileScan*>(obj);
    if (self->state != 2 || self->handle == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no states: run() first, before take_radar()");
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

// The radar's state as the scan left it, its bars still open (with save=True):
// the bytes a later scan continues exactly, and load_state makes a Radar of.
PyObject* file_scan_saved_state(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyFileScan*>(obj);
    if (self->saved == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no saved state: FileScan(..., save=True), then run()");
        return nullptr;
    }
    return PyBytes_FromStringAndSize(self->saved->data(), static_cast<Py_ssize_t>(self->saved->size()));
}

PyMethodDef file_scan_methods[] = {
    {"saved_state", file_scan_saved_state, METH_NOARGS,
     "saved_state()\n--\n\nThe radar's state after run(), bars left open (needs save=True)."},
    {"partial_state", file_scan_partial_state, METH_NOARGS,
     "partial_state()\n--\n\nThe states read, as a partial state (bytes) that merges with others."},
    {"run", file_scan_run, METH_NOARGS,
     "run()\n--\n\nReads every file and scores the states: (result text, bad lines, skipped rows, events, lines, "
     "snapshots a bar left out, lines per path)."},
    {"progress", file_scan_progress, METH_NOARGS, "progress()\n--\n\n(bytes read, bytes in all), from any thread."},
    {"take_radar", file_scan_take_radar, METH_NOARGS,
     "take_radar()\n--\n\nA Radar holding the states read (after run(), once)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot file_scan_slots[] = {
    {Py_tp_doc, const_cast<char*>("FileScan(paths, spec_json, format=None, skip_bad=False, notional=False, threads=0, "
                                  "range_bytes=0, state=None, bar=0, score=True, save=False)")},
    {Py_tp_new, reinterpret_cast<void*>(file_scan_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(file_scan_dealloc)},
    {Py_tp_methods, file_scan_methods},
    {0, nullptr},
};

PyType_Spec file_scan_spec = {"zolvar_radar._zolvar_engine.FileScan", static_cast<int>(sizeof(PyFileScan)), 0,
                              Py_TPFLAGS_DEFAULT, file_scan_slots};

// --- FileReplay -----------------------------------------------------------

struct PyFileReplay {
    PyObject_HEAD
    PyObject* radar;  // the Radar fed, or None
    radar::FileReplay* replay;
    bool busy;  // advance() runs without the interpreter lock: once at a time
};

PyObject* file_replay_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    // paths: a list of files, or the capsule of an Arrow stream whose rows are read instead (kind, columns)
    static const char* kwlist[] = {"radar", "paths",    "format",      "skip_bad", "notional",
                                   "every", "every_ts", "keep_events", "bar",      "file_order",
                                   "kind",  "columns",  "skip_before", nullptr};
    PyObject* radar_obj = nullptr;
    PyObject* paths_obj = nullptr;
    const char* format = nullptr;
    int skip_bad = 0, notional = 0, keep = 0, file_order = 0;
    unsigned long long every = 1000;
    long long every_ts = 0, bar = 0;
    const char* kind = nullptr;
    PyObject* columns = Py_None;
    PyObject* skip_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|zppKLpLpzOO", const_cast<char**>(kwlist), &radar_obj,
                                     &paths_obj, &format, &skip_bad, &notional, &every, &every_ts, &keep, &bar,
                                     &file_order, &kind, &columns, &skip_obj))
        return nullptr;
    long long skip_before = 0;
    if (skip_obj != Py_None) {
        skip_before = PyLong_AsLongLong(skip_obj);
        if (skip_before == -1 && PyErr_Occurred()) return nullptr;
    }
    if (bar < 0) {
        PyErr_SetString(PyExc_ValueError, "bar must be 0 (none) or a positive number of timestamp units");
        return nullptr;
    }
    if (radar_obj != Py_None &&
        (radar_type() == nullptr || Py_TYPE(radar_obj) != reinterpret_cast<PyTypeObject*>(radar_type()))) {
        PyErr_SetString(PyExc_TypeError, "'radar' must be a Radar or None");
        return nullptr;
    }
    std::vector<std::string> paths;
    radar::FileReadOptions options;
    const bool table = PyCapsule_CheckExact(paths_obj);
    radar::arrow::TableScanOptions table_read;
    if (table ? !table_options(kind, columns, table_read) : !string_list(paths_obj, paths)) return nullptr;
    if (!format_of(format, options.format)) return nullptr;
    options.skip_bad = skip_bad != 0;
    options.notional = notional != 0;
    options.bar = bar;
    table_read.skip_bad = options.skip_bad;
    try {
        auto replay = std::make_unique<radar::FileReplay>(
            std::move(paths), options, radar::Checkpoints{every, static_cast<int64_t>(every_ts)}, file_order == 0);
        replay->keep_events(keep != 0);
        if (skip_obj != Py_None) replay->skip_before(static_cast<int64_t>(skip_before));
        radar::arrow::TableInput* rows = nullptr;
        if (table) {
            ArrowArrayStream stream;
            if (!take_stream(paths_obj, stream)) return nullptr;
            auto input = std::make_unique<radar::arrow::TableInput>(stream, std::move(table_read));
            rows = input.get();
            replay->use_input(std::move(input));
        }
        std::string error;
        // the first line of each file is read here, and a pipe may keep it waiting
        bool opened = false;
        if (!without_interpreter_lock([&] { opened = replay->open(error); })) return nullptr;
        if (!opened && rows != nullptr) return table_error(rows->layout_error());
        if (!opened) return replay->interrupted() ? interrupted_error() : os_error(error);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* obj = alloc(type, 0);
        if (obj == nullptr) return nullptr;
        auto* self = reinterpret_cast<PyFileReplay*>(obj);
        self->radar = Py_NewRef(radar_obj);
        self->replay = replay.release();
        self->busy = false;
        return obj;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

void file_replay_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<PyFileReplay*>(obj);
    delete self->replay;
    Py_XDECREF(self->radar);
    PyTypeObject* type = Py_TYPE(obj);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
    Py_DECREF(type);
}

// advance() -> "checkpoint", "end", "bad" or "fatal"
PyObject* file_replay_advance(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyFileReplay*>(obj);
    HandleUse use;
    const bool feeding = self->radar != Py_None;
    if (feeding && !use.acquire(self->radar, "radar")) return nullptr;
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "this FileReplay is already advancing on another thread");
        return nullptr;
    }
    self->busy = true;
    radar::FileReplay::Stop stop = radar::FileReplay::Stop::End;
    const bool done = without_interpreter_lock([&] {
        stop = feeding ? self->replay->advance(&use.handle().spec, &use.handle().dataset)
                       : self->replay->advance(nullptr, nullptr);
    });
    self->busy = false;
    if (!done) return nullptr;
    switch (stop) {
        case radar::FileReplay::Stop::Checkpoint: return PyUnicode_FromString("checkpoint");
        case radar::FileReplay::Stop::End: return PyUnicode_FromString("end");
        case radar::FileReplay::Stop::Bad: return PyUnicode_FromString("bad");
        case radar::FileReplay::Stop::Fatal: return PyUnicode_FromString("fatal");
        case radar::FileReplay::Stop::Interrupted: return PyUnicode_FromString("interrupted");
    }
    return nullptr;
}

// The replay's own state, for a call that must not meet advance() running.
radar::FileReplay* idle_replay(PyObject* obj) {
    auto* self = reinterpret_cast<PyFileReplay*>(obj);
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "this FileReplay is advancing on another thread");
        return nullptr;
    }
    return self->replay;
}

// status() -> (events read, clock or None, bytes read, bytes in all, fatal
// text, events passed on, snapshots a bar dropped, snapshots a bar holds,
// smallest ts or None, (file, line, from ts, to ts) of the first step back
// in time or None)
PyObject* file_replay_status(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyFileReplay*>(obj);
    if (idle_replay(obj) == nullptr) return nullptr;
    const radar::FileReplay& r = *self->replay;
    PyObject* clock = r.clock() ? PyLong_FromLongLong(*r.clock()) : Py_NewRef(Py_None);
    PyObject* fatal = clock ? new_str(r.fatal(), "replace") : nullptr;
    PyObject* first = fatal ? (r.first_ts() ? PyLong_FromLongLong(*r.first_ts()) : Py_NewRef(Py_None)) : nullptr;
    PyObject* disorder = nullptr;
    if (first != nullptr) {
        const auto& d = r.disorder();
        disorder = d ? Py_BuildValue("(nKLL)", static_cast<Py_ssize_t>(d->file), static_cast<unsigned long long>(d->line),
                                     static_cast<long long>(d->from), static_cast<long long>(d->to))
                     : Py_NewRef(Py_None);
    }
    PyObject* out = disorder ? Py_BuildValue("(KOKKOKKKOO)", static_cast<unsigned long long>(r.fed()), clock,
                                             static_cast<unsigned long long>(r.bytes_done()),
                                             static_cast<unsigned long long>(r.bytes_total()), fatal,
                                             static_cast<unsigned long long>(r.kept()),
                                             static_cast<unsigned long long>(r.dropped()),
                                             static_cast<unsigned long long>(r.held()), first, disorder)
                             : nullptr;
    Py_XDECREF(clock);
    Py_XDECREF(fatal);
    Py_XDECREF(first);
    Py_XDECREF(disorder);
    return out;
}

PyObject* file_replay_bad(PyObject* obj, PyObject*) {
    radar::FileReplay* replay = idle_replay(obj);
    return replay != nullptr ? bad_list(replay->bad()) : nullptr;
}

PyObject* file_replay_skipped(PyObject* obj, PyObject*) {
    radar::FileReplay* replay = idle_replay(obj);
    return replay != nullptr ? skipped_list(replay->skipped()) : nullptr;
}

// take_events() -> [(symbol, kind, ts, f0, f1, f2, f3, side), ...] fed since the last call
PyObject* file_replay_take_events(PyObject* obj, PyObject*) {
    radar::FileReplay* replay = idle_replay(obj);
    if (replay == nullptr) return nullptr;
    auto events = replay->take_events();
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    static const char* kKinds[] = {"derivatives", "orderbook", "liquidation"};
    for (const radar::ReplayedEvent& e : events) {
        PyObject* symbol = new_str(e.symbol, "strict");
        const auto& ev = e.event;
        PyObject* item = symbol ? Py_BuildValue("(OsLddddd)", symbol, kKinds[static_cast<int>(ev.kind)],
                                                static_cast<long long>(ev.ts), ev.f[0], ev.f[1], ev.f[2], ev.f[3],
                                                ev.side == radar::Side::Buy ? 0.0 : 1.0)
                                : nullptr;
        Py_XDECREF(symbol);
        if (item == nullptr || PyList_Append(list, item) < 0) {
            Py_XDECREF(item);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(item);
    }
    return list;
}

PyObject* file_replay_skipped_before(PyObject* obj, PyObject*) {
    radar::FileReplay* replay = idle_replay(obj);
    return replay != nullptr ? PyLong_FromUnsignedLongLong(replay->skipped_before()) : nullptr;
}

PyMethodDef file_replay_methods[] = {
    {"advance", file_replay_advance, METH_NOARGS,
     "advance()\n--\n\nFeeds events up to the next checkpoint: 'checkpoint', 'end', 'bad' or 'fatal'."},
    {"status", file_replay_status, METH_NOARGS,
     "status()\n--\n\n(events read, largest ts or None, bytes read, bytes in all, fatal error text, events passed "
     "on, snapshots a bar dropped, snapshots a bar holds)."},
    {"bad", file_replay_bad, METH_NOARGS, "bad()\n--\n\nThe bad lines so far: (file index, line, error)."},
    {"skipped", file_replay_skipped, METH_NOARGS, "skipped()\n--\n\nRows left out, per file, by reason."},
    {"take_events", file_replay_take_events, METH_NOARGS,
     "take_events()\n--\n\nThe events fed since the last call, when kept."},
    {"skipped_before", file_replay_skipped_before, METH_NOARGS,
     "skipped_before()\n--\n\nEvents read before skip_before and left out."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot file_replay_slots[] = {
    {Py_tp_doc, const_cast<char*>("FileReplay(radar, paths, format=None, skip_bad=False, notional=False, "
                                  "every=1000, every_ts=0, keep_events=False, bar=0, file_order=False, "
                                  "skip_before=None)")},
    {Py_tp_new, reinterpret_cast<void*>(file_replay_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(file_replay_dealloc)},
    {Py_tp_methods, file_replay_methods},
    {0, nullptr},
};

PyType_Spec file_replay_spec = {"zolvar_radar._zolvar_engine.FileReplay", static_cast<int>(sizeof(PyFileReplay)),
                                0, Py_TPFLAGS_DEFAULT, file_replay_slots};

}  // namespace

int add_file_types(PyObject* module) {
    for (PyType_Spec* spec : {&file_scan_spec, &file_replay_spec}) {
        PyObject* type = PyType_FromSpec(spec);
        if (type == nullptr) return -1;
        const char* name = std::string_view(spec->name).substr(std::string_view(spec->name).rfind('.') + 1).data();
        const int rc = PyModule_AddObjectRef(module, name, type);
        Py_DECREF(type);
        if (rc < 0) return -1;
    }
    return 0;
}

// merge_partial_states(states) -> bytes: the partial states of consecutive
// stretches of events, in order, as one.
PyObject* merge_partial_states(PyObject*, PyObject* seq) {
    const Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) return nullptr;
    try {
        std::optional<radar::Dataset> total;
        std::optional<radar::BarFilter> bars;
        uint64_t window = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PySequence_GetItem(seq, i);
            if (item == nullptr) return nullptr;
            std::string data;
            const bool ok = bytes_of(item, data);
            Py_DECREF(item);
            if (!ok) return nullptr;
            auto loaded = radar::load_state(data);
            if (!loaded) return value_error(loaded.error().message);
            if (loaded.value().spec) return value_error("state " + std::to_string(i) + " is a radar's, not a partial state");
            if (i > 0 && loaded.value().window != window)
                return value_error("partial states of windows " + std::to_string(window) + " and " +
                                   std::to_string(loaded.value().window) + " cannot merge");
            window = loaded.value().window;
            if (!total) {
                total.emplace(std::move(loaded.value().dataset));
                bars = std::move(loaded.value().bars);
            } else {
                join_stretches(*total, bars, std::move(loaded.value().dataset), std::move(loaded.value().bars),
                               window);
            }
        }
        if (!total) return value_error("no partial states to merge");
        const std::string bytes = radar::save_partial(window, *total, bars ? &*bars : nullptr);
        return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// split_partial_state(state, partitions) -> [bytes, ...]: the partial
// state's symbols dealt into that many partial states by a hash of the
// symbol (the same on every platform), their open bars with them; the
// count of snapshots a bar left out stays with the first.
PyObject* split_partial_state(PyObject*, PyObject* args) {
    PyObject* state_obj = nullptr;
    long long partitions = 0;
    if (!PyArg_ParseTuple(args, "OL", &state_obj, &partitions)) return nullptr;
    if (partitions < 1 || partitions > 65536) return value_error("partitions must be 1 to 65536");
    std::string data;
    if (!bytes_of(state_obj, data)) return nullptr;
    try {
        std::vector<std::string> out;
        bool ok = false;
        std::string error;
        if (!without_interpreter_lock([&] {
                auto loaded = radar::load_state(data);
                if (!loaded) {
                    error = loaded.error().message;
                    return;
                }
                if (loaded.value().spec) {
                    error = "a radar's state, not a partial state";
                    return;
                }
                const size_t n = static_cast<size_t>(partitions);
                auto part_of = [n](std::string_view symbol) { return radar::crc32c(symbol) % n; };
                std::vector<radar::Dataset> parts(n);
                for (const auto& [symbol, state] : loaded.value().dataset) parts[part_of(symbol)].insert(symbol, state);
                std::vector<std::optional<radar::BarFilter>> bars(n);
                if (const auto& all = loaded.value().bars) {
                    for (auto& b : bars) b.emplace(all->width());
                    for (const auto& [symbol, open] : all->symbols()) bars[part_of(symbol)]->restore(symbol, open);
                    bars[0]->add_dropped(all->dropped());
                }
                for (size_t p = 0; p < n; ++p)
                    out.push_back(radar::save_partial(loaded.value().window, parts[p], bars[p] ? &*bars[p] : nullptr));
                ok = true;
            }))
            return nullptr;
        if (!ok) return value_error(error);
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(out.size()));
        if (list == nullptr) return nullptr;
        for (size_t p = 0; p < out.size(); ++p) {
            PyObject* item = PyBytes_FromStringAndSize(out[p].data(), static_cast<Py_ssize_t>(out[p].size()));
            if (item == nullptr) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SetItem(list, static_cast<Py_ssize_t>(p), item);  // steals the reference
        }
        return list;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// radar_from_partial_state(spec_json, state) -> Radar: a radar with that
// specification holding the partial state's symbols (windows must agree).
PyObject* radar_from_partial_state(PyObject*, PyObject* args) {
    const char* spec_text = nullptr;
    Py_ssize_t spec_size = 0;
    PyObject* state_obj = nullptr;
    if (!PyArg_ParseTuple(args, "s#O", &spec_text, &spec_size, &state_obj)) return nullptr;
    try {
        auto created = radar::Handle::create(std::string_view(spec_text, static_cast<size_t>(spec_size)));
        if (!created) return value_error(created.error().render());
        const uint64_t window = radar::window_length(created.value()->spec);
        auto start = starting_states(state_obj, window);
        if (!start.dataset) return nullptr;
        close_bars(start.bars, *start.dataset, window);  // a radar has no bars: they end here
        created.value()->dataset = std::move(*start.dataset);
        return wrap_handle(std::move(created.value()));
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// set_interrupt_fd(fd) -> the previous one: a descriptor that becomes
// readable when the process is interrupted, for the native reads to give
// way to (-1: none). Its bytes are left for the caller to drain.
PyObject* set_interrupt_fd(PyObject*, PyObject* arg) {
    const long fd = PyLong_AsLong(arg);
    if (fd == -1 && PyErr_Occurred()) return nullptr;
    if (fd < -1 || fd > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "fd must be a descriptor or -1");
        return nullptr;
    }
    const int before = radar::interrupt_fd();
    radar::set_interrupt_fd(static_cast<int>(fd));
    return PyLong_FromLong(before);
}

PyMethodDef file_functions[] = {
    {"set_interrupt_fd", set_interrupt_fd, METH_O,
     "set_interrupt_fd(fd)\n--\n\nA descriptor readable once the process is interrupted (-1: none); the previous one."},
    {"merge_partial_states", merge_partial_states, METH_O,
     "merge_partial_states(states)\n--\n\nPartial states of consecutive stretches of events, in order, as one."},
    {"split_partial_state", split_partial_state, METH_VARARGS,
     "split_partial_state(state, partitions)\n--\n\nThe partial state's symbols dealt into that many partial states by "
     "a hash of the symbol."},
    {"radar_from_partial_state", radar_from_partial_state, METH_VARARGS,
     "radar_from_partial_state(spec_json, state)\n--\n\nA Radar with the spec holding the partial state's symbols."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zolvar
