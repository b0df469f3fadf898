// Saving a radar's state as bytes and making a new radar from them.
#include <Python.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "binding/engine_functions.hpp"
#include "binding/file_common.hpp"
#include "binding/radar_object.hpp"
#include "json/writer.hpp"
#include "state/handle_state.hpp"
#include "state/load.hpp"

namespace zolvar {

namespace {

// The bytes of a bytes-like argument, valid while `arg` and `holder` live.
// bytes and bytearray are read in place; any other buffer is copied once,
// since the 3.10 limited API has no way to borrow one.
bool argument_bytes(PyObject* arg, std::string_view& out, PyObject*& holder) {
    if (PyBytes_Check(arg)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(arg, &data, &size) < 0) return false;
        out = std::string_view(data, static_cast<size_t>(size));
        return true;
    }
    if (PyByteArray_Check(arg)) {
        out = std::string_view(PyByteArray_AsString(arg), static_cast<size_t>(PyByteArray_Size(arg)));
        return true;
    }
    PyObject* view = PyMemoryView_FromObject(arg);
    if (view == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(arg)), "__name__");
        if (name == nullptr) return false;
        PyErr_Format(PyExc_TypeError, "load_state() argument must be a bytes-like object, not '%S'", name);
        Py_DECREF(name);
        return false;
    }
    holder = PyObject_CallMethod(view, "tobytes", nullptr);
    Py_DECREF(view);
    if (holder == nullptr) return false;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(holder, &data, &size) < 0) return false;
    out = std::string_view(data, static_cast<size_t>(size));
    return true;
}

PyObject* save_state(PyObject*, PyObject* arg) {
    HandleUse use;
    if (!use.acquire(arg, "radar")) return nullptr;
    try {
        const std::string bytes = radar::save_handle_state(use.handle());
        return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

PyObject* load_state(PyObject*, PyObject* arg) {
    std::string_view bytes;
    PyObject* holder = nullptr;
    if (!argument_bytes(arg, bytes, holder)) return nullptr;
    try {
        auto loaded = radar::load_handle_state(bytes);
        Py_XDECREF(holder);
        holder = nullptr;
        if (!loaded) return value_error(loaded.error().message);
        return wrap_handle(std::move(loaded.value()));
    } catch (...) {
        Py_XDECREF(holder);
        set_error_from_current_exception();
        return nullptr;
    }
}

void append_names(std::string& out, std::string_view member, const std::vector<std::string>& names) {
    if (names.empty()) return;
    out += ",\"";
    out += member;
    out += "\":[";
    for (size_t i = 0; i < names.size(); ++i) {
        if (i != 0) out += ',';
        radar::append_json_string(out, names[i]);
    }
    out += ']';
}

// The specification in its object form, numbers in shortest round-trip
// digits: a radar made from the text is the one the state was saved from.
std::string spec_json(const radar::RadarSpec& spec) {
    std::string out = "{\"signals\":[";
    for (size_t i = 0; i < spec.signals.size(); ++i) {
        const radar::Signal& s = spec.signals[i];
        if (i != 0) out += ',';
        out += "{\"kind\":";
        radar::append_json_string(out, radar::indicator_name(s.kind));
        out += ",\"params\":[";
        for (size_t k = 0; k < s.params.size(); ++k) {
            if (k != 0) out += ',';
            radar::append_json_double(out, s.params[k]);
        }
        out += "],\"weight\":";
        radar::append_json_double(out, s.weight);
        out += '}';
    }
    out += "],\"threshold\":";
    radar::append_json_double(out, spec.threshold);
    if (spec.limit) {
        out += ",\"limit\":";
        radar::append_u64(out, *spec.limit);
    }
    append_names(out, "venues", spec.venues);
    append_names(out, "symbols", spec.symbols);
    out += '}';
    return out;
}

// The specification a saved state holds, as JSON text; None for a partial state.
PyObject* state_spec(PyObject*, PyObject* arg) {
    std::string_view bytes;
    PyObject* holder = nullptr;
    if (!argument_bytes(arg, bytes, holder)) return nullptr;
    try {
        auto loaded = radar::load_state(bytes);
        Py_XDECREF(holder);
        holder = nullptr;
        if (!loaded) return value_error(loaded.error().message);
        if (!loaded.value().spec) Py_RETURN_NONE;
        const std::string text = spec_json(*loaded.value().spec);
        return new_str(text, "strict");
    } catch (...) {
        Py_XDECREF(holder);
        set_error_from_current_exception();
        return nullptr;
    }
}

constexpr const char kSaveDoc[] =
    "save_state(radar, /)\n--\n\n"
    "The radar's specification and stored data as bytes, for load_state.";
constexpr const char kLoadDoc[] =
    "load_state(data, /)\n--\n\n"
    "A new Radar from bytes save_state gave; ValueError says why other bytes are refused.";
constexpr const char kSpecDoc[] =
    "state_spec(data, /)\n--\n\n"
    "The specification a saved state holds as JSON text, or None for a partial state.";

}  // namespace

PyMethodDef state_functions[] = {
    {"save_state", save_state, METH_O, kSaveDoc},
    {"load_state", load_state, METH_O, kLoadDoc},
    {"state_spec", state_spec, METH_O, kSpecDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zolvar
