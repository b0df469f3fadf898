// `LiveFeed`: live (symbol, event) pairs into a Radar without a command text
// per batch. Each event, a Python object an adapter made, is written here as
// the JSON json.dumps(allow_nan=False) would write, and the radar's own event
// reader takes it from there, so what is fed, refused and said about it is
// what the "feed" command of the pair would give; the bars apply natively.
#include <Python.h>

#include <charconv>
#include <cmath>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/engine_functions.hpp"
#include "binding/file_common.hpp"
#include "binding/radar_object.hpp"
#include "json/writer.hpp"
#include "live/live_feed.hpp"
#include "market/event_read.hpp"

namespace zolvar {
namespace {

constexpr int kDeepest = 200;  // beyond the radar's nesting limit: deeper is said as "not JSON"
constexpr std::string_view kNotJson = "not JSON";

bool write_json(PyObject* o, std::string& out, int depth);

bool write_digits(PyObject* o, std::string& out) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
        if (v == -1 && PyErr_Occurred()) return false;
        char buf[24];
        out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
        return true;
    }
    PyObject* exact = PyNumber_Long(o);  // an int subclass says its digits as int does
    PyObject* text = exact ? PyObject_Str(exact) : nullptr;
    Py_XDECREF(exact);
    if (text == nullptr) return false;
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text, &n);
    if (s != nullptr) out.append(s, static_cast<size_t>(n));
    Py_DECREF(text);
    return s != nullptr;
}

bool write_float(PyObject* o, std::string& out) {
    const double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return false;
    if (!std::isfinite(d)) return false;
    // As float's repr writes it (shortest digits; an exponent from 1e16 up and below 1e-4), so the
    // text is the one json.dumps makes, to the positions an error names.
    char buf[40];
    char* end = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific).ptr;
    const std::string_view sci(buf, static_cast<size_t>(end - buf));
    int exponent = 0;
    std::from_chars(sci.data() + sci.find('e') + (sci[sci.find('e') + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                    exponent);
    if (exponent < -4 || exponent >= 16) {
        out.append(sci);
        return true;
    }
    end = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed).ptr;
    out.append(buf, end);
    // written as a float is read as one: 1.0 is not the integer 1
    if (std::string_view(buf, static_cast<size_t>(end - buf)).find('.') == std::string_view::npos) out.append(".0");
    return true;
}

bool write_string(PyObject* o, std::string& out) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);  // fails on lone surrogates, as sending the text would
    if (s == nullptr) return false;
    radar::append_json_string(out, std::string_view(s, static_cast<size_t>(n)));
    return true;
}

// A dict key as json.dumps turns it into a string.
bool write_key(PyObject* key, std::string& out) {
    if (PyUnicode_Check(key)) return write_string(key, out);
    if (key == Py_True || key == Py_False || key == Py_None) {
        out.append(key == Py_True ? "\"true\"" : key == Py_False ? "\"false\"" : "\"null\"");
        return true;
    }
    out.push_back('"');
    const bool ok = PyLong_Check(key) ? write_digits(key, out) : PyFloat_Check(key) && write_float(key, out);
    out.push_back('"');
    return ok;
}

bool write_json(PyObject* o, std::string& out, int depth) {
    if (PyUnicode_Check(o)) return write_string(o, out);
    if (o == Py_None || o == Py_True || o == Py_False) {
        out.append(o == Py_None ? "null" : o == Py_True ? "true" : "false");
        return true;
    }
    if (PyLong_Check(o)) return write_digits(o, out);
    if (PyFloat_Check(o)) return write_float(o, out);
    if (depth >= kDeepest) return false;
    if (PyDict_Check(o)) {
        out.push_back('{');
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        bool first = true;
        while (PyDict_Next(o, &pos, &key, &value)) {
            if (!first) out.push_back(',');
            first = false;
            if (!write_key(key, out)) return false;
            out.push_back(':');
            if (!write_json(value, out, depth + 1)) return false;
        }
        out.push_back('}');
        return true;
    }
    const bool list = PyList_Check(o);
    if (list || PyTuple_Check(o)) {
        const Py_ssize_t n = list ? PyList_Size(o) : PyTuple_Size(o);
        out.push_back('[');
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i) out.push_back(',');
            PyObject* item = list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i);
            if (item == nullptr || !write_json(item, out, depth + 1)) return false;
        }
        out.push_back(']');
        return true;
    }
    return false;
}

struct PyLiveFeed {
    PyObject_HEAD
    PyObject* radar;
    radar::LiveFeed* feed;
};

PyObject* live_feed_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"radar", "bar", nullptr};
    PyObject* radar_obj = nullptr;
    long long bar = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|L", const_cast<char**>(kwlist), &radar_obj, &bar))
        return nullptr;
    if (radar_type() == nullptr || Py_TYPE(radar_obj) != reinterpret_cast<PyTypeObject*>(radar_type())) {
        PyErr_SetString(PyExc_TypeError, "'radar' must be a Radar");
        return nullptr;
    }
    if (bar < 0) {
        PyErr_SetString(PyExc_ValueError, "bar must be 0 (none) or a positive number of timestamp units");
        return nullptr;
    }
    try {
        auto feed = std::make_unique<radar::LiveFeed>(bar);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* obj = alloc(type, 0);
        if (obj == nullptr) return nullptr;
        auto* self = reinterpret_cast<PyLiveFeed*>(obj);
        self->radar = Py_NewRef(radar_obj);
        self->feed = feed.release();
        return obj;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

void live_feed_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<PyLiveFeed*>(obj);
    delete self->feed;
    Py_XDECREF(self->radar);
    PyTypeObject* type = Py_TYPE(obj);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
    Py_DECREF(type);
}

// Adds (index, message) to `refused`; false with an exception set.
bool refuse(PyObject* refused, Py_ssize_t index, std::string_view message) {
    PyObject* text = new_str(message, "replace");
    PyObject* item = text ? Py_BuildValue("(nO)", index, text) : nullptr;
    Py_XDECREF(text);
    const bool ok = item != nullptr && PyList_Append(refused, item) == 0;
    Py_XDECREF(item);
    return ok;
}

// One pair, written: what the radar is to read, or why it cannot.
struct Written {
    enum What : uint8_t { Event, Symbol, NotJson } what;
    size_t symbol, symbol_end, event, end;  // offsets into the text written
};

// Writes the pair's symbol (after `prefix`, as str() of it then) and event into `text`.
Written write_pair(PyObject* pair, std::string_view prefix, bool prefixed, std::string& text) {
    Written w{Written::NotJson, text.size(), text.size(), text.size(), text.size()};
    PyObject* key = PySequence_GetItem(pair, 0);
    PyObject* value = key ? PySequence_GetItem(pair, 1) : nullptr;
    PyObject* name = key && prefixed && !PyUnicode_Check(key) ? PyObject_Str(key) : Py_XNewRef(key);
    if (value != nullptr && name != nullptr) {
        if (PyUnicode_Check(name)) {
            Py_ssize_t len = 0;
            const char* s = PyUnicode_AsUTF8AndSize(name, &len);
            if (s != nullptr) {
                text.append(prefix).append(s, static_cast<size_t>(len));
                w.symbol_end = w.event = text.size();
                if (write_json(value, text, 0)) w.what = Written::Event;
            }
        } else if (write_json(name, text, 0)) {
            w.symbol_end = w.event = text.size();
            if (write_json(value, text, 0)) w.what = Written::Symbol;
        }
    }
    PyErr_Clear();  // what json.dumps would refuse is "not JSON", nothing more
    Py_XDECREF(name);
    Py_XDECREF(value);
    Py_XDECREF(key);
    w.end = text.size();
    return w;
}

// feed(pairs, prefix=None) -> (events fed to the radar, [(index, refusal), ...]):
// each (symbol, event) pair as a "feed" command of it would be taken, in
// order, its symbol after `prefix` when given; a refused one changes nothing
// and costs no other. The radar reads without the interpreter lock.
PyObject* live_feed_feed(PyObject* obj, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"pairs", "prefix", nullptr};
    PyObject* pairs = nullptr;
    PyObject* prefix_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O", const_cast<char**>(kwlist), &pairs, &prefix_obj))
        return nullptr;
    const bool prefixed = prefix_obj != Py_None;
    if (prefixed && !PyUnicode_Check(prefix_obj)) {
        PyErr_SetString(PyExc_TypeError, "prefix must be a str or None");
        return nullptr;
    }
    Py_ssize_t prefix_len = 0;
    const char* prefix_text = prefixed ? PyUnicode_AsUTF8AndSize(prefix_obj, &prefix_len) : "";
    if (prefix_text == nullptr) return nullptr;
    const std::string prefix(prefix_text, static_cast<size_t>(prefix_len));
    auto* self = reinterpret_cast<PyLiveFeed*>(obj);
    PyObject* seq = PySequence_Fast(pairs, "pairs must be a sequence of (symbol, event) pairs");
    if (seq == nullptr) return nullptr;
    const Py_ssize_t n = PySequence_Size(seq);
    for (Py_ssize_t i = 0; i < n; ++i) {  // the shape first: a failure here feeds nothing
        PyObject* pair = PySequence_GetItem(seq, i);
        const bool ok = pair != nullptr && (PyTuple_Check(pair) || PyList_Check(pair)) && PySequence_Size(pair) == 2;
        Py_XDECREF(pair);
        if (!ok) {
            Py_DECREF(seq);
            PyErr_Format(PyExc_TypeError, "pairs[%zd] is not a (symbol, event) pair", i);
            return nullptr;
        }
    }
    HandleUse use;
    if (!use.acquire(self->radar, "radar")) {
        Py_DECREF(seq);
        return nullptr;
    }
    std::string text;
    std::vector<Written> written;
    std::vector<std::pair<Py_ssize_t, std::string>> refusals;
    const uint64_t before = self->feed->fed();
    try {
        written.reserve(static_cast<size_t>(n));
        text.reserve(static_cast<size_t>(n) * 160);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PySequence_GetItem(seq, i);
            written.push_back(write_pair(pair, prefix, prefixed, text));
            Py_XDECREF(pair);
        }
    } catch (...) {
        Py_DECREF(seq);
        set_error_from_current_exception();
        return nullptr;
    }
    Py_DECREF(seq);
    radar::Handle& handle = use.handle();
    const bool done = without_interpreter_lock([&] {
        const std::string_view all(text);
        for (size_t i = 0; i < written.size(); ++i) {
            const Written& w = written[i];
            std::optional<std::string> refusal;
            if (w.what == Written::NotJson) {
                refusal = std::string(kNotJson);
            } else if (w.what == Written::Symbol) {
                refusal = self->feed->symbol_refusal(all.substr(w.symbol, w.symbol_end - w.symbol));
            } else {
                refusal = self->feed->take(handle.spec, handle.dataset, all.substr(w.symbol, w.symbol_end - w.symbol),
                                           all.substr(w.event, w.end - w.event));
            }
            if (refusal) refusals.emplace_back(static_cast<Py_ssize_t>(i), std::move(*refusal));
        }
    });
    if (!done) return nullptr;
    PyObject* refused = PyList_New(0);
    for (const auto& [index, message] : refusals) {
        if (refused != nullptr && !refuse(refused, index, message)) Py_CLEAR(refused);
    }
    if (refused == nullptr) return nullptr;
    PyObject* out = Py_BuildValue("(KO)", static_cast<unsigned long long>(self->feed->fed() - before), refused);
    Py_DECREF(refused);
    return out;
}

// close_until(clock) -> events fed: the held snapshots whose interval ended by then
PyObject* live_feed_close_until(PyObject* obj, PyObject* arg) {
    auto* self = reinterpret_cast<PyLiveFeed*>(obj);
    if (PyBool_Check(arg) || !PyLong_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "clock is a timestamp (int)");
        return nullptr;
    }
    const long long clock = PyLong_AsLongLong(arg);
    if (clock == -1 && PyErr_Occurred()) return nullptr;
    HandleUse use;
    if (!use.acquire(self->radar, "radar")) return nullptr;
    try {
        return PyLong_FromUnsignedLongLong(self->feed->close_until(use.handle().spec, use.handle().dataset, clock));
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// held() -> [(symbol, event dict), ...]: what the bars hold, in the order read
PyObject* live_feed_held(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyLiveFeed*>(obj);
    HandleUse use;  // the radar's thread, as feed(): the bars are read while no feed runs
    if (!use.acquire(self->radar, "radar")) return nullptr;
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    try {
        for (const auto& [symbol, e] : self->feed->held()) {
            const auto& variant = radar::event_read::kVariants[static_cast<size_t>(e.kind)];
            PyObject* event = PyDict_New();
            PyObject* name = event ? new_str(symbol, "replace") : nullptr;
            bool ok = name != nullptr;
            auto set = [&](std::string_view key, PyObject* v) {
                if (!ok || v == nullptr) {
                    ok = false;
                    Py_XDECREF(v);
                    return;
                }
                ok = PyDict_SetItemString(event, std::string(key).c_str(), v) == 0;
                Py_DECREF(v);
            };
            set("kind", new_str(variant.tag, "strict"));
            set("ts", PyLong_FromLongLong(e.ts));
            for (size_t i = 1; i < variant.field_count; ++i) set(variant.fields[i], PyFloat_FromDouble(e.f[i - 1]));
            PyObject* pair = ok ? Py_BuildValue("(OO)", name, event) : nullptr;
            Py_XDECREF(name);
            Py_XDECREF(event);
            if (pair == nullptr || PyList_Append(list, pair) < 0) {
                Py_XDECREF(pair);
                Py_DECREF(list);
                return nullptr;
            }
            Py_DECREF(pair);
        }
    } catch (...) {
        Py_DECREF(list);
        set_error_from_current_exception();
        return nullptr;
    }
    return list;
}

// status() -> (events fed, snapshots a bar dropped)
PyObject* live_feed_status(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<PyLiveFeed*>(obj);
    HandleUse use;
    if (!use.acquire(self->radar, "radar")) return nullptr;
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(self->feed->fed()),
                         static_cast<unsigned long long>(self->feed->dropped()));
}

PyMethodDef live_feed_methods[] = {
    {"feed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(live_feed_feed)),
     METH_VARARGS | METH_KEYWORDS,
     "feed(pairs, prefix=None)\n--\n\n(events fed, [(index, refusal), ...]): each (symbol, event) pair taken as "
     "its \"feed\" command would be (its symbol after prefix), through the bars."},
    {"close_until", live_feed_close_until, METH_O,
     "close_until(clock)\n--\n\nFeeds the held snapshots whose interval ended by clock; how many."},
    {"held", live_feed_held, METH_NOARGS, "held()\n--\n\n[(symbol, event), ...] the bars hold, in the order read."},
    {"status", live_feed_status, METH_NOARGS, "status()\n--\n\n(events fed, snapshots a bar dropped)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot live_feed_slots[] = {
    {Py_tp_doc, const_cast<char*>("LiveFeed(radar, bar=0)")},
    {Py_tp_new, reinterpret_cast<void*>(live_feed_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(live_feed_dealloc)},
    {Py_tp_methods, live_feed_methods},
    {0, nullptr},
};

PyType_Spec live_feed_spec = {"zolvar_radar._zolvar_engine.LiveFeed", static_cast<int>(sizeof(PyLiveFeed)), 0,
                              Py_TPFLAGS_DEFAULT, live_feed_slots};

}  // namespace

int add_live_types(PyObject* module) {
    PyObject* type = PyType_FromSpec(&live_feed_spec);
    if (type == nullptr) return -1;
    const int rc = PyModule_AddObjectRef(module, "LiveFeed", type);
    Py_DECREF(type);
    return rc;
}

}  // namespace zolvar
