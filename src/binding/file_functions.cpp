// Reading market-data files natively: `FileScan` reads files into states and
// scores them once; `FileReplay` feeds a Radar from files and stops at each
// checkpoint. Both leave the interpreter lock while they read.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "binding/engine_functions.hpp"
#include "binding/radar_object.hpp"
#include "files/file_read.hpp"
#include "files/file_replay.hpp"
#include "protocol/handle.hpp"
#include "scan/commands.hpp"

namespace zolvar {

namespace {

// Strings of a sequence of str, as UTF-8; false with an exception set.
bool string_list(PyObject* seq, std::vector<std::string>& out) {
    const Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_GetItem(seq, i);
        if (item == nullptr) return false;
        Py_ssize_t size = 0;
        const char* data = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
        if (data == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "paths must be str");
            Py_DECREF(item);
            return false;
        }
        out.emplace_back(data, static_cast<size_t>(size));
        Py_DECREF(item);
    }
    return true;
}

bool format_of(const char* name, radar::FileFormat& out) {
    if (name == nullptr) {
        out = radar::FileFormat::Auto;
    } else if (std::string_view(name) == "jsonl") {
        out = radar::FileFormat::JsonLines;
    } else if (std::string_view(name) == "tardis") {
        out = radar::FileFormat::Tardis;
    } else {
        PyErr_Format(PyExc_ValueError, "format must be 'jsonl', 'tardis' or None, not '%s'", name);
        return false;
    }
    return true;
}

PyObject* value_error(const std::string& text) {
    PyObject* message = new_str(text, "replace");
    if (message != nullptr) {
        PyErr_SetObject(PyExc_ValueError, message);
        Py_DECREF(message);
    }
    return nullptr;
}

PyObject* os_error(const std::string& text) {
    PyObject* message = new_str(text, "replace");
    if (message != nullptr) {
        PyErr_SetObject(PyExc_OSError, message);
        Py_DECREF(message);
    }
    return nullptr;
}

// [(file index, line, error), ...]
PyObject* bad_list(const std::vector<radar::BadLine>& bad) {
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    for (const radar::BadLine& b : bad) {
        PyObject* error = new_str(b.error, "replace");
        PyObject* item = error ? Py_BuildValue("(nKO)", static_cast<Py_ssize_t>(b.file),
                                               static_cast<unsigned long long>(b.line), error)
                               : nullptr;
        Py_XDECREF(error);
        if (item == nullptr || PyList_Append(list, item) < 0) {
            Py_XDECREF(item);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(item);
    }
    return list;
}

// [{reason: count}, ...], one dict per file
PyObject* skipped_list(const std::vector<radar::ReasonCounts>& skipped) {
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    for (const auto& reasons : skipped) {
        PyObject* dict = PyDict_New();
        if (dict == nullptr || PyList_Append(list, dict) < 0) {
            Py_XDECREF(dict);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(dict);
        for (const auto& [reason, count] : reasons) {
            PyObject* n = PyLong_FromUnsignedLongLong(count);
            const int rc = n ? PyDict_SetItemString(dict, reason.c_str(), n) : -1;
            Py_XDECREF(n);
            if (rc < 0) {
                Py_DECREF(list);
                return nullptr;
            }
        }
    }
    return list;
}

// --- FileScan -----------------------------------------------------------

struct PyFileScan {
    PyObject_HEAD
    radar::Handle* handle;  // the spec, and the dataset once read
    radar::FileRead* read;
    int state;  // 0 ready, 1 running, 2 done
};

PyObject* file_scan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"paths",    "spec_json", "format",      "skip_bad",
                                   "notional", "threads",   "range_bytes", nullptr};
    PyObject* paths_obj = nullptr;
    const char* spec_text = nullptr;
    Py_ssize_t spec_size = 0;
    const char* format = nullptr;
    int skip_bad = 0, notional = 0;
    Py_ssize_t threads = 0;
    unsigned long long range_bytes = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os#|zppnK", const_cast<char**>(kwlist), &paths_obj, &spec_text,
                                     &spec_size, &format, &skip_bad, &notional, &threads, &range_bytes))
        return nullptr;
    std::vector<std::string> paths;
    radar::FileReadOptions options;
    if (!string_list(paths_obj, paths) || !format_of(format, options.format)) return nullptr;
    options.skip_bad = skip_bad != 0;
    options.notional = notional != 0;
    options.threads = threads > 0 ? static_cast<size_t>(threads) : 0;
    options.range_bytes = range_bytes;
    try {
        auto created = radar::Handle::create(std::string_view(spec_text, static_cast<size_t>(spec_size)));
        if (!created) return value_error(created.error().render());
        auto read = std::make_unique<radar::FileRead>(std::move(paths), options);
        std::string error;
        if (!read->open(error)) return os_error(error);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* obj = alloc(type, 0);
        if (obj == nullptr) return nullptr;
        auto* self = reinterpret_cast<PyFileScan*>(obj);
        self->handle = created.value().release();
        self->read = read.release();
        self->state = 0;
        return obj;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

void file_scan_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<PyFileScan*>(obj);
    delete self->read;
    delete self->handle;
    PyTypeObject* type = Py_TYPE(obj);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
    Py_DECREF(type);
}

// run() -> (result text or None, bad lines, skipped rows, events, lines)
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
    std::exception_ptr failure;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        result = self->read->run(self->handle->spec);
        if (result.fatal.empty()) {
            self->handle->dataset = std::move(result.dataset);
            auto answer = radar::alerts_command(self->handle->spec, self->handle->dataset);
            if (answer) {
                text = std::move(answer.value());
                scored = true;
            } else {
                text = answer.error().render();
            }
        }
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    self->state = 2;
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (...) {
            set_error_from_current_exception();
        }
        return nullptr;
    }
    if (!result.fatal.empty()) return os_error(result.fatal);
    if (!scored && !text.empty()) return value_error(text);
    PyObject* answer = scored ? new_str(text, "strict") : Py_NewRef(Py_None);
    PyObject* bad = answer ? bad_list(result.bad) : nullptr;
    PyObject* skipped = bad ? skipped_list(result.skipped) : nullptr;
    PyObject* out = skipped ? Py_BuildValue("(OOOKK)", answer, bad, skipped,
                                            static_cast<unsigned long long>(result.events),
                                            static_cast<unsigned long long>(result.lines))
                            : nullptr;
    Py_XDECREF(answer);
    Py_XDECREF(bad);
    Py_XDECREF(skipped);
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
    PyObject* radar_obj = wrap_handle(std::move(handle));
    return radar_obj;
}

PyMethodDef file_scan_methods[] = {
    {"run", file_scan_run, METH_NOARGS,
     "run()\n--\n\nReads every file and scores the states: (result text, bad lines, skipped rows, events, lines)."},
    {"progress", file_scan_progress, METH_NOARGS, "progress()\n--\n\n(bytes read, bytes in all), from any thread."},
    {"take_radar", file_scan_take_radar, METH_NOARGS,
     "take_radar()\n--\n\nA Radar holding the states read (after run(), once)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot file_scan_slots[] = {
    {Py_tp_doc, const_cast<char*>("FileScan(paths, spec_json, format=None, skip_bad=False, notional=False, threads=0, range_bytes=0)")},
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
    PyObject* radar;  // the Radar fed
    radar::FileReplay* replay;
};

PyObject* file_replay_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"radar", "paths", "format", "skip_bad", "notional", "every", "every_ts",
                                   "keep_events", nullptr};
    PyObject* radar_obj = nullptr;
    PyObject* paths_obj = nullptr;
    const char* format = nullptr;
    int skip_bad = 0, notional = 0, keep = 0;
    unsigned long long every = 1000;
    long long every_ts = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|zppKLp", const_cast<char**>(kwlist), &radar_obj, &paths_obj,
                                     &format, &skip_bad, &notional, &every, &every_ts, &keep))
        return nullptr;
    if (radar_type() == nullptr || Py_TYPE(radar_obj) != reinterpret_cast<PyTypeObject*>(radar_type())) {
        PyErr_SetString(PyExc_TypeError, "'radar' must be a Radar");
        return nullptr;
    }
    std::vector<std::string> paths;
    radar::FileReadOptions options;
    if (!string_list(paths_obj, paths) || !format_of(format, options.format)) return nullptr;
    options.skip_bad = skip_bad != 0;
    options.notional = notional != 0;
    try {
        auto replay = std::make_unique<radar::FileReplay>(std::move(paths), options,
                                                          radar::Checkpoints{every, static_cast<int64_t>(every_ts)});
        replay->keep_events(keep != 0);
        std::string error;
        if (!replay->open(error)) return os_error(error);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* obj = alloc(type, 0);
        if (obj == nullptr) return nullptr;
        auto* self = reinterpret_cast<PyFileReplay*>(obj);
        self->radar = Py_NewRef(radar_obj);
        self->replay = replay.release();
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
    if (!use.acquire(self->radar, "radar")) return nullptr;
    radar::FileReplay::Stop stop = radar::FileReplay::Stop::End;
    std::exception_ptr failure;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        stop = self->replay->advance(use.handle().spec, use.handle().dataset);
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (...) {
            set_error_from_current_exception();
        }
        return nullptr;
    }
    switch (stop) {
        case radar::FileReplay::Stop::Checkpoint: return PyUnicode_FromString("checkpoint");
        case radar::FileReplay::Stop::End: return PyUnicode_FromString("end");
        case radar::FileReplay::Stop::Bad: return PyUnicode_FromString("bad");
        case radar::FileReplay::Stop::Fatal: return PyUnicode_FromString("fatal");
    }
    return nullptr;
}

// status() -> (events fed, clock or None, bytes read, bytes in all, fatal text)
PyObject* file_replay_status(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyFileReplay*>(obj);
    const radar::FileReplay& r = *self->replay;
    PyObject* clock = r.clock() ? PyLong_FromLongLong(*r.clock()) : Py_NewRef(Py_None);
    PyObject* fatal = clock ? new_str(r.fatal(), "replace") : nullptr;
    PyObject* out = fatal ? Py_BuildValue("(KOKKO)", static_cast<unsigned long long>(r.fed()), clock,
                                          static_cast<unsigned long long>(r.bytes_done()),
                                          static_cast<unsigned long long>(r.bytes_total()), fatal)
                          : nullptr;
    Py_XDECREF(clock);
    Py_XDECREF(fatal);
    return out;
}

PyObject* file_replay_bad(PyObject* obj, PyObject*) {
    return bad_list(reinterpret_cast<PyFileReplay*>(obj)->replay->bad());
}

PyObject* file_replay_skipped(PyObject* obj, PyObject*) {
    return skipped_list(reinterpret_cast<PyFileReplay*>(obj)->replay->skipped());
}

// take_events() -> [(symbol, kind, ts, f0, f1, f2, f3, side), ...] fed since the last call
PyObject* file_replay_take_events(PyObject* obj, PyObject*) {
    auto events = reinterpret_cast<PyFileReplay*>(obj)->replay->take_events();
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

PyMethodDef file_replay_methods[] = {
    {"advance", file_replay_advance, METH_NOARGS,
     "advance()\n--\n\nFeeds events up to the next checkpoint: 'checkpoint', 'end', 'bad' or 'fatal'."},
    {"status", file_replay_status, METH_NOARGS,
     "status()\n--\n\n(events fed, largest ts or None, bytes read, bytes in all, fatal error text)."},
    {"bad", file_replay_bad, METH_NOARGS, "bad()\n--\n\nThe bad lines so far: (file index, line, error)."},
    {"skipped", file_replay_skipped, METH_NOARGS, "skipped()\n--\n\nRows left out, per file, by reason."},
    {"take_events", file_replay_take_events, METH_NOARGS,
     "take_events()\n--\n\nThe events fed since the last call, when kept."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot file_replay_slots[] = {
    {Py_tp_doc, const_cast<char*>("FileReplay(radar, paths, format=None, skip_bad=False, notional=False, "
                                  "every=1000, every_ts=0, keep_events=False)")},
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

PyMethodDef file_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zolvar
