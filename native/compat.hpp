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

// Takes the exception now set out of the interpreter: its value, normalized, with its
// traceback attached (new reference; the error indicator is cleared). 3.12 keeps only the
// value; PyErr_Fetch is deprecated there.
inline PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Sets `value` (an exception taken by take_exception, reference stolen) again.
inline void set_exception(PyObject* value) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value);
#else
    if (!value) return PyErr_Clear();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
#endif
}

}  // namespace zarn::compat
