// Owned references and error propagation for the CPython C API.
//
// Rules of use:
//  - `Ref` owns one strong reference (or nothing). `Ref::steal(p)` takes over a new
//    reference, `Ref::borrow(p)` adds one to a borrowed pointer. It is move-only.
//  - A C API failure (NULL or -1 with a Python exception set) is turned into the C++
//    exception `PyErrorSet` by `check()`. It carries nothing: the exception lives in the
//    interpreter. It is caught in one place, the method call trampoline, which returns NULL.
//  - Raw `PyObject*` appear only as borrowed, short-lived parameters.
//  - No `noexcept` on paths that call into Python and no `catch (...)` without rethrow:
//    a daemon thread ended at interpreter exit is unwound through these frames.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zarn {

// A Python exception is set in the interpreter.
struct PyErrorSet {};

[[noreturn]] inline void raise() { throw PyErrorSet{}; }

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    // Takes over a new reference; NULL means the call failed with an exception set.
    static Ref check(PyObject* p) {
        if (!p) raise();
        return Ref(p);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) {
        if (this != &o) {
            release();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { release(); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller (a C API return value).
    PyObject* release_to_caller() { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    void release() {
        PyObject* p = std::exchange(p_, nullptr);
        if (!p) return;
        // A daemon thread that is ended while it waits for the GIL at interpreter exit
        // unwinds through our frames without holding the GIL: leave the object alone then.
        if (_Py_IsFinalizing() && !PyGILState_Check()) return;
        Py_DECREF(p);
    }
    PyObject* p_ = nullptr;
};

// -1 from an int-returning API means an exception is set.
inline int check_int(int r) {
    if (r < 0) raise();
    return r;
}

inline bool truth(PyObject* o) { return check_int(PyObject_IsTrue(o)) != 0; }

inline Ref getattr(PyObject* o, PyObject* name) { return Ref::check(PyObject_GetAttr(o, name)); }

inline void setattr(PyObject* o, PyObject* name, PyObject* v) {
    check_int(PyObject_SetAttr(o, name, v));
}

// callable(*args) with keyword names `kwnames` naming the last arguments (NULL: none).
template <typename... A>
Ref call(PyObject* callable, PyObject* kwnames, A... args) {
    PyObject* argv[] = {nullptr, args...};
    size_t n = sizeof...(A) - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    return Ref::check(
        PyObject_Vectorcall(callable, argv + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// self.name(*args), keyword names as for call(); no bound method is made.
template <typename... A>
Ref call_method(PyObject* self, PyObject* name, PyObject* kwnames, A... args) {
    PyObject* argv[] = {self, args...};
    size_t n = 1 + sizeof...(A) - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    return Ref::check(
        PyObject_VectorcallMethod(name, argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// The exception currently set, taken out of the interpreter (normalized).
class SavedError {
public:
    SavedError() {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        if (tb && v) PyException_SetTraceback(v, tb);
        type_ = Ref::steal(t);
        value_ = Ref::steal(v);
        tb_ = Ref::steal(tb);
    }
    PyObject* value() const { return value_.get(); }
    bool matches(PyObject* cls) const { return PyErr_GivenExceptionMatches(type_.get(), cls) != 0; }
    // Sets the exception again in the interpreter.
    void restore() {
        PyErr_Restore(type_.release_to_caller(), value_.release_to_caller(),
                      tb_.release_to_caller());
    }
    // Makes this exception the context of the exception now set, as an `except` block would.
    void chain_into_current() {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        if (v && value_) PyException_SetContext(v, value_.release_to_caller());
        PyErr_Restore(t, v, tb);
    }

private:
    Ref type_, value_, tb_;
};

// Runs `body`; true when it raised an exception of the class that `class_of()` returns,
// which is then dropped. The class is looked up only after the exception is taken out of
// the interpreter (no Python code may run while an exception is set). Other exceptions,
// and one raised by the lookup (with the first as its context), propagate.
template <typename Body, typename ClassOf>
bool raised(Body&& body, ClassOf&& class_of) {
    try {
        body();
        return false;
    } catch (PyErrorSet&) {
    }
    SavedError err;
    Ref cls;
    try {
        cls = class_of();
    } catch (PyErrorSet&) {
        err.chain_into_current();
        throw;
    }
    if (err.matches(cls.get())) return true;
    err.restore();
    raise();
}

// Runs `body`; when it raises, `handler(SavedError&)` runs as a Python `except Exception`
// block would: only for exceptions derived from Exception, and an exception raised by the
// handler gets the caught one as its context. Other exceptions pass through untouched.
template <typename Body, typename Handler>
auto guarded(Body&& body, Handler&& handler) -> decltype(body()) {
    try {
        return body();
    } catch (PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    }
    SavedError err;
    try {
        return handler(err);
    } catch (PyErrorSet&) {
        err.chain_into_current();
        throw;
    }
}

}  // namespace zarn
