// What the binding's file readers share: argument conversion, running
// without the interpreter lock, and the Python forms of their reports.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <vector>

#include "binding/radar_object.hpp"
#include "files/file_read.hpp"
#include "replay/file_replay.hpp"

namespace zolvar {

// Strings of a sequence of str, as UTF-8; false with an exception set.
bool string_list(PyObject* seq, std::vector<std::string>& out);
// None, "jsonl" or "tardis"; false with ValueError set.
bool format_of(const char* name, radar::FileFormat& out);
// null, with ValueError / OSError carrying the text.
PyObject* value_error(const std::string& text);
PyObject* os_error(const std::string& text);
// null, after the signal's handler ran: its exception, else KeyboardInterrupt.
PyObject* interrupted_error();
// A replay's progress as status() tuples give it: (events read, clock or None,
// bytes read, bytes in all, fatal text, smallest ts or None, step back or None,
// a, b, c, snapshots a bar dropped), a to c being the caller's own counts.
PyObject* replay_status(const radar::FileReplay& replay, uint64_t a, uint64_t b, uint64_t c);
// [(file index, line, error), ...]
PyObject* bad_list(const std::vector<radar::BadLine>& bad);
// [{reason: count}, ...], one dict per file
PyObject* skipped_list(const std::vector<radar::ReasonCounts>& skipped);

// Runs work() with the interpreter lock released; false, with the Python
// exception set, when it threw.
template <class Work>
bool without_interpreter_lock(Work&& work) {
    std::exception_ptr failure;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (!failure) return true;
    try {
        std::rethrow_exception(failure);
    } catch (...) {
        set_error_from_current_exception();
    }
    return false;
}

}  // namespace zolvar
