// The extension module `zolvar_radar._zolvar_radar` and its class `Radar`.
// Only the limited API is used, so one abi3 binary serves every supported
// interpreter; this is the only file that sees Python.h.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "binding/radar_object.hpp"
#include "protocol/handle.hpp"
#include "protocol/responses.hpp"

namespace zolvar {

namespace {

// Thread numbers of our own: unlike OS thread ids they are never reused, so a
// handle can't be mistaken as owned by a later thread that got its owner's id.
std::atomic<uint64_t> g_next_thread{1};

}  // namespace

uint64_t current_thread() {
    thread_local const uint64_t id = g_next_thread.fetch_add(1, std::memory_order_relaxed);
    return id;
}

static_assert(alignof(intptr_t) >= std::atomic_ref<intptr_t>::required_alignment);

namespace {

constexpr const char kSentMessage[] = "_zolvar_radar::PyRadar is unsendable, but sent to another thread";
constexpr const char kDroppedMessage[] =
    "_zolvar_radar::PyRadar is unsendable, but is being dropped on another thread";

}  // namespace

void set_error_from_current_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

PyObject* new_str(std::string_view text, const char* errors) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), errors);
}

namespace {

// Tells the caller which argument failed; add_note exists from 3.11 on, and
// without it the exception is left as it is.
void add_argument_note(const char* param) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr) {
        PyObject* add_note = PyObject_GetAttrString(value, "add_note");
        PyObject* note = add_note ? PyUnicode_FromFormat("while processing '%s'", param) : nullptr;
        PyObject* done = note ? PyObject_CallFunctionObjArgs(add_note, note, nullptr) : nullptr;
        Py_XDECREF(done);
        Py_XDECREF(note);
        Py_XDECREF(add_note);
        PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
}

// Matching a call against the single parameter `param` of `func`: the
// argument given by position (or nullptr), then each keyword in turn; the
// result is the argument (borrowed) or nullptr with a TypeError set.
bool too_many_positional(const char* func, Py_ssize_t nargs) {
    if (nargs <= 1) return false;
    PyErr_Format(PyExc_TypeError, "%s takes 1 positional arguments but %zd were given", func, nargs);
    return true;
}

bool take_keyword(const char* func, const char* param, PyObject* key, PyObject* value, PyObject*& arg) {
    if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, param) != 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", func, key);
        return false;
    }
    if (arg != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", func, param);
        return false;
    }
    arg = value;
    return true;
}

PyObject* require_argument(const char* func, const char* param, PyObject* arg) {
    if (arg == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", func, param);
    }
    return arg;
}

// For tp_new, which receives a tuple and a dict.
PyObject* match_argument(const char* func, const char* param, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0 || too_many_positional(func, nargs)) return nullptr;
    PyObject* arg = nargs == 1 ? PyTuple_GetItem(args, 0) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!take_keyword(func, param, key, value, arg)) return nullptr;
        }
    }
    return require_argument(func, param, arg);
}

// For vectorcall methods: positional values, then one value per keyword name.
PyObject* match_argument(const char* func, const char* param, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    if (too_many_positional(func, nargs)) return nullptr;
    PyObject* arg = nargs == 1 ? args[0] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!take_keyword(func, param, PyTuple_GetItem(kwnames, k), args[nargs + k], arg)) return nullptr;
        }
    }
    return require_argument(func, param, arg);
}

// Owns the UTF-8 copy of a large non-ASCII argument for one call.
struct TextHolder {
    PyObject* bytes = nullptr;
    ~TextHolder() { Py_XDECREF(bytes); }
};

// Whether a large str is worth encoding into a bytes object of our own:
// asking the str for its cached UTF-8 form makes CPython encode and then
// copy the whole text, and keeps that copy for the str's lifetime. ASCII
// text is its own UTF-8 and costs nothing either way.
bool encode_apart(PyObject* arg) {
    constexpr Py_ssize_t kLarge = Py_ssize_t{1} << 20;
    if (PyUnicode_GetLength(arg) < kLarge) return false;
    PyObject* ascii = PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "isascii", "O", arg);
    if (ascii == nullptr) {
        PyErr_Clear();  // the cached form works in every case
        return false;
    }
    const bool apart = ascii == Py_False;
    Py_DECREF(ascii);
    return apart;
}

// The argument's strict UTF-8 text, valid while `arg` and `holder` live.
bool argument_text(PyObject* arg, const char* param, std::string_view& text, TextHolder* holder = nullptr) {
    if (!PyUnicode_Check(arg)) {
        if (arg == Py_None) {
            PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
        } else {
            PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(arg)), "__name__");
            if (name == nullptr) return false;
            PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of 'str'", name);
            Py_DECREF(name);
        }
        add_argument_note(param);
        return false;
    }
    if (holder != nullptr && encode_apart(arg)) {
        holder->bytes = PyUnicode_AsUTF8String(arg);
        if (holder->bytes == nullptr) {
            add_argument_note(param);
            return false;
        }
        char* data = PyBytes_AsString(holder->bytes);
        if (data == nullptr) return false;
        text = std::string_view(data, static_cast<size_t>(PyBytes_Size(holder->bytes)));
        return true;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
    if (data == nullptr) {
        add_argument_note(param);
        return false;
    }
    text = std::string_view(data, static_cast<size_t>(size));
    return true;
}

PyObject* radar_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* arg = match_argument("Radar.__new__()", "spec_json", args, kwargs);
    std::string_view text;
    if (arg == nullptr || !argument_text(arg, "spec_json", text)) return nullptr;
    try {
        auto created = radar::Handle::create(text);
        if (!created) {
            // "replace": a message quoting odd input must still become a str
            PyObject* message = new_str(created.error().render(), "replace");
            if (message != nullptr) {
                PyErr_SetObject(PyExc_ValueError, message);
                Py_DECREF(message);
            }
            return nullptr;
        }
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* obj = alloc(type, 0);
        if (obj == nullptr) return nullptr;
        auto* self = reinterpret_cast<PyRadar*>(obj);
        self->handle = created.value().release();
        self->borrow = 0;
        self->owner = current_thread();
        return obj;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// Gives the borrow back on every way out of a command.
struct BorrowRelease {
    intptr_t& flag;
    ~BorrowRelease() { std::atomic_ref<intptr_t>(flag).store(0, std::memory_order_release); }
};

// The most common answer, made once: "feed" returns it for every event.
PyObject* g_ok_response = nullptr;

PyObject* radar_command(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto* self = reinterpret_cast<PyRadar*>(obj);
    PyObject* arg = match_argument("Radar.command()", "cmd_json", args, nargs, kwnames);
    if (arg == nullptr) return nullptr;
    if (self->owner != current_thread()) {
        PyErr_SetString(PyExc_RuntimeError, kSentMessage);
        return nullptr;
    }
    // Only the owning thread gets here, so the flag needs no locked
    // exchange: it catches a command re-entered from within one.
    std::atomic_ref<intptr_t> borrow(self->borrow);
    if (borrow.load(std::memory_order_relaxed) != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return nullptr;
    }
    borrow.store(-1, std::memory_order_relaxed);
    BorrowRelease release{self->borrow};
    std::string_view text;
    TextHolder holder;
    if (!argument_text(arg, "cmd_json", text, &holder)) return nullptr;
    try {
        std::string response;
        if (radar::run_command_ok(*self->handle, text, response)) {
            if (g_ok_response != nullptr) return Py_NewRef(g_ok_response);
            response = radar::kOkResponse;
        }
        return new_str(response, "strict");
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

PyObject* radar_version(PyObject*, PyObject*) { return new_str(radar::kVersion, "strict"); }

void radar_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<PyRadar*>(obj);
    PyTypeObject* type = Py_TYPE(obj);
    if (self->owner != current_thread()) {
        // Reported, without disturbing an exception already in flight: the
        // handle left the thread it is bound to.
        PyObject *pending_type, *pending_value, *pending_tb;
        PyErr_Fetch(&pending_type, &pending_value, &pending_tb);
        PyErr_SetString(PyExc_RuntimeError, kDroppedMessage);
        // The dying instance can't be handed to the hook; its type can.
        PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
        PyErr_Restore(pending_type, pending_value, pending_tb);
    }
    // Freed on any thread: nothing else can be using the contents once the
    // last reference is gone (every call holds one), and leaking them would
    // make a worker pool that drops radars grow without bound.
    delete self->handle;
    auto free_instance = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_instance(obj);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

constexpr const char kRadarDoc[] =
    "Radar(spec_json)\n--\n\n"
    "A radar instance driven by JSON commands.\n\n"
    "`unsendable`: a handle owns a mutable dataset and spec, so it is bound to the\n"
    "thread that created it.";
constexpr const char kCommandDoc[] =
    "command($self, cmd_json)\n--\n\nApply a command JSON and return the resulting response JSON.";
constexpr const char kVersionDoc[] = "version()\n--\n\nThe library version.";

template <class F>
void* slot_function(F* function) {
    return reinterpret_cast<void*>(function);
}

PyMethodDef radar_methods[] = {
    {"command", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(radar_command)),
     METH_FASTCALL | METH_KEYWORDS, kCommandDoc},
    {"version", radar_version, METH_NOARGS | METH_STATIC, kVersionDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot radar_slots[] = {
    {Py_tp_doc, const_cast<char*>(kRadarDoc)},
    {Py_tp_new, slot_function(radar_new)},
    {Py_tp_dealloc, slot_function(radar_dealloc)},
    {Py_tp_methods, radar_methods},
    {0, nullptr},
};

PyType_Spec radar_spec = {
    "builtins.Radar",
    static_cast<int>(sizeof(PyRadar)),
    0,
    Py_TPFLAGS_DEFAULT,
    radar_slots,
};

// Created on the first exec and kept for the life of the process.
PyObject* g_radar_type = nullptr;

// Sets the attribute and appends its name to __all__, creating the list first.
int add_exported(PyObject* module, const char* name, PyObject* value) {
    if (PyModule_AddObjectRef(module, name, value) < 0) return -1;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) return -1;
        if (PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return -1;
        }
    }
    PyObject* key = PyUnicode_FromString(name);
    const int rc = key != nullptr ? PyList_Append(all, key) : -1;
    Py_XDECREF(key);
    Py_DECREF(all);
    return rc;
}

int module_exec(PyObject* module) {
    PyObject* version = new_str(radar::kVersion, "strict");
    if (version == nullptr) return -1;
    const int rc = add_exported(module, "__version__", version);
    Py_DECREF(version);
    if (rc < 0) return -1;
    if (g_radar_type == nullptr) {
        g_radar_type = PyType_FromSpec(&radar_spec);
        if (g_radar_type == nullptr) return -1;
    }
    if (g_ok_response == nullptr) {
        g_ok_response = new_str(R"({"ok":true})", "strict");
        if (g_ok_response == nullptr) return -1;
    }
    return add_exported(module, "Radar", g_radar_type);
}

// Py_mod_multiple_interpreters and its "not supported" value, which the
// 3.10 limited-API headers don't define.
constexpr int kModMultipleInterpreters = 3;

bool runtime_at_least(int major, int minor) {
    int run_major = 0, run_minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &run_major, &run_minor) != 2) return false;
    return run_major > major || (run_major == major && run_minor >= minor);
}

// The spare entry takes the multiple-interpreters slot where it exists;
// 3.10 and 3.11 refuse unknown slot ids, and this binary serves them too.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, slot_function(module_exec)},
    {0, nullptr},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_zolvar_radar",
    "The native module (`zolvar_radar._zolvar_radar`).",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* radar_type() { return g_radar_type; }

PyObject* wrap_handle(std::unique_ptr<radar::Handle> handle) {
    if (g_radar_type == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "zolvar_radar._zolvar_radar is not initialised");
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(g_radar_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* self = reinterpret_cast<PyRadar*>(obj);
    self->handle = handle.release();
    self->borrow = 0;
    self->owner = current_thread();
    return obj;
}

bool HandleUse::acquire(PyObject* obj, const char* param) {
    if (g_radar_type == nullptr || Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(g_radar_type)) {
        PyErr_Format(PyExc_TypeError, "'%s' must be a Radar", param);
        return false;
    }
    auto* self = reinterpret_cast<PyRadar*>(obj);
    if (self->owner != current_thread()) {
        PyErr_SetString(PyExc_RuntimeError, kSentMessage);
        return false;
    }
    std::atomic_ref<intptr_t> borrow(self->borrow);
    if (borrow.load(std::memory_order_relaxed) != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
    }
    borrow.store(-1, std::memory_order_relaxed);
    self_ = self;
    return true;
}

HandleUse::~HandleUse() {
    if (self_ != nullptr) std::atomic_ref<intptr_t>(self_->borrow).store(0, std::memory_order_release);
}

}  // namespace zolvar

PyMODINIT_FUNC PyInit__zolvar_radar(void) {
    using namespace zolvar;
    if (runtime_at_least(3, 12)) module_slots[1] = {kModMultipleInterpreters, nullptr};
    return PyModuleDef_Init(&module_def);
}
