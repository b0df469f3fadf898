// What the binding's modules share about a `Radar` instance: its layout,
// the way a call takes its handle, and the way a new one is made.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "protocol/handle.hpp"

namespace zolvar {

struct PyRadar {
    PyObject_HEAD
    radar::Handle* handle;
    intptr_t borrow;  // 0 when free, -1 while a call uses the handle
    uint64_t owner;
};

// A process-unique number for the calling thread.
uint64_t current_thread();

// The Radar type, borrowed; null until `zolvar_radar._zolvar_radar` has run.
PyObject* radar_type();

// A new Radar owning `handle`, bound to the calling thread.
PyObject* wrap_handle(std::unique_ptr<radar::Handle> handle);

// A Radar's handle for the length of one call, under the same rules as
// Radar.command: the owner thread only, and never re-entered.
class HandleUse {
public:
    HandleUse() = default;
    HandleUse(const HandleUse&) = delete;
    HandleUse& operator=(const HandleUse&) = delete;
    ~HandleUse();

    // False with a Python exception set when `obj` can't be used here.
    bool acquire(PyObject* obj, const char* param);
    radar::Handle& handle() const { return *self_->handle; }

private:
    PyRadar* self_ = nullptr;
};

// No C++ exception may unwind into the interpreter; call only inside a catch.
void set_error_from_current_exception();

PyObject* new_str(std::string_view text, const char* errors);

}  // namespace zolvar
