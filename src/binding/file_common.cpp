#include "binding/file_common.hpp"

namespace zolvar {

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

PyObject* interrupted_error() {
    if (PyErr_CheckSignals() < 0) return nullptr;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
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

PyObject* skipped_list(const std::vector<radar::ReasonCounts>& skipped) {
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    // Files with nothing skipped share one empty dict: ten thousand files made ten thousand.
    PyObject* none = nullptr;
    for (const auto& reasons : skipped) {
        if (reasons.empty()) {
            if (none == nullptr && (none = PyDict_New()) == nullptr) {
                Py_DECREF(list);
                return nullptr;
            }
            if (PyList_Append(list, none) < 0) {
                Py_DECREF(none);
                Py_DECREF(list);
                return nullptr;
            }
            continue;
        }
        PyObject* dict = PyDict_New();
        if (dict == nullptr || PyList_Append(list, dict) < 0) {
            Py_XDECREF(dict);
            Py_XDECREF(none);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(dict);
        for (const auto& [reason, count] : reasons) {
            PyObject* n = PyLong_FromUnsignedLongLong(count);
            const int rc = n ? PyDict_SetItemString(dict, reason.c_str(), n) : -1;
            Py_XDECREF(n);
            if (rc < 0) {
                Py_XDECREF(none);
                Py_DECREF(list);
                return nullptr;
            }
        }
    }
    Py_XDECREF(none);
    return list;
}

PyObject* replay_status(const radar::FileReplay& r, uint64_t a, uint64_t b, uint64_t c) {
    auto ts = [](std::optional<int64_t> v) { return v ? PyLong_FromLongLong(*v) : Py_NewRef(Py_None); };
    PyObject* clock = ts(r.clock());
    PyObject* first = ts(r.first_ts());
    PyObject* fatal = new_str(r.fatal(), "replace");
    const auto& d = r.disorder();
    PyObject* disorder = d ? Py_BuildValue("(nKLL)", static_cast<Py_ssize_t>(d->file),
                                           static_cast<unsigned long long>(d->line), static_cast<long long>(d->from),
                                           static_cast<long long>(d->to))
                           : Py_NewRef(Py_None);
    PyObject* out = nullptr;
    if (clock && first && fatal && disorder)
        out = Py_BuildValue("(KOKKOOOKKKK)", static_cast<unsigned long long>(r.fed()), clock,
                            static_cast<unsigned long long>(r.bytes_done()),
                            static_cast<unsigned long long>(r.bytes_total()), fatal, first, disorder,
                            static_cast<unsigned long long>(a), static_cast<unsigned long long>(b),
                            static_cast<unsigned long long>(c), static_cast<unsigned long long>(r.dropped()));
    Py_XDECREF(clock);
    Py_XDECREF(first);
    Py_XDECREF(fatal);
    Py_XDECREF(disorder);
    return out;
}

}  // namespace zolvar
