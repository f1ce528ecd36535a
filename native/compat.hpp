// The version-specific CPython calls, in one place: a new Python version touches only this
// file. Everything else uses the public C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zarn::compat {

// True while the interpreter is being finalized (public from 3.13).
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// True when the calling thread holds the GIL now. PyGILState_Check() cannot say: it answers
// 1 for every thread once the process has created a sub-interpreter. The thread state that
// holds the GIL (3.11: the runtime's current one; 3.12 on: this thread's attached one) must
// belong to this OS thread.
inline bool this_thread_holds_gil() {
#if PY_VERSION_HEX >= 0x030D0000
    PyThreadState* current = PyThreadState_GetUnchecked();
#else
    PyThreadState* current = _PyThreadState_UncheckedGet();
#endif
    return current != nullptr && current->thread_id == PyThread_get_thread_ident();
}

}  // namespace zarn::compat
