// Saving a radar's state as bytes and making a new radar from them.
#include <Python.h>

#include <memory>
#include <string>
#include <string_view>

#include "binding/engine_functions.hpp"
#include "binding/radar_object.hpp"
#include "state/handle_state.hpp"

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
        if (!loaded) {
            PyObject* message = new_str(loaded.error().message, "replace");
            if (message != nullptr) {
                PyErr_SetObject(PyExc_ValueError, message);
                Py_DECREF(message);
            }
            return nullptr;
        }
        return wrap_handle(std::move(loaded.value()));
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

}  // namespace

PyMethodDef state_functions[] = {
    {"save_state", save_state, METH_O, kSaveDoc},
    {"load_state", load_state, METH_O, kLoadDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zolvar
