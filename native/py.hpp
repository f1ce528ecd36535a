// Owned references, calls into Python and error propagation for the CPython C API.
//
// Rules of use:
//  - `Ref` owns one strong reference (or nothing). `Ref::steal(p)` takes over a new
//    reference, `Ref::borrow(p)` adds one to a borrowed pointer. It is move-only.
//  - Failure means "a Python exception is set". A step that is not expected to fail turns a
//    C API failure into the C++ exception `PyErrorSet` (`Ref::check`, `check_int`, `call`,
//    `call_method`): code reads as straight-line code. A step whose failure is expected
//    (a connection error, a full queue) uses a `try_` call, which returns an empty `Ref`
//    with the exception set instead: a C++ throw costs some 10,000 instructions, more than
//    the whole Python call it stands for. A method body may end either way; the method's
//    C++ entry (functions.cpp) turns both into a NULL return.
//  - Raw `PyObject*` appear only as borrowed, short-lived parameters.
//  - No `noexcept` on paths that call into Python and no `catch (...)` without rethrow:
//    a daemon thread ended at interpreter exit is unwound through these frames.
#pragma once

#include "compat.hpp"

#include <concepts>
#include <utility>

namespace zarn {

// A Python exception is set in the interpreter.
struct PyErrorSet {};

[[noreturn]] inline void raise() { throw PyErrorSet{}; }

// False on a daemon thread that is being ended at interpreter exit while it waits for the
// GIL: it is unwound through our frames without holding the GIL, and must leave objects alone.
inline bool may_touch_objects() {
    return !compat::interpreter_finalizing() || compat::this_thread_holds_gil();
}

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
    static Ref of_bool(bool b) { return borrow(b ? Py_True : Py_False); }

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
        if (p && may_touch_objects()) Py_DECREF(p);
    }
    PyObject* p_ = nullptr;
};

// Runs the Python source `text` under the file name `filename`. Unlike PyRun_String it
// adds no __builtins__ to the globals (the interpreter's builtins apply).
inline void exec(const char* text, PyObject* filename, PyObject* globals, PyObject* locals) {
    Ref code = Ref::check(Py_CompileStringObject(text, filename, Py_file_input, nullptr, -1));
    Ref::check(PyEval_EvalCode(code.get(), globals, locals));
}

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

// The keyword names of a call: a tuple of N names for the call's last N arguments. The
// count is part of the type, so a call with fewer arguments than names does not compile.
template <size_t N>
struct KwNames {
    PyObject* tuple = nullptr;
};

template <typename... A>
concept Objects = (std::same_as<A, PyObject*> && ...);

// callable(*args), the last N arguments passed by the names in `kw`. Empty on failure.
template <size_t N, Objects... A>
Ref try_call(PyObject* callable, KwNames<N> kw, A... args) {
    static_assert(N <= sizeof...(A), "more keyword names than arguments");
    PyObject* argv[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(
        callable, argv + 1, (sizeof...(A) - N) | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.tuple));
}

// self.name(*args), keywords as for try_call, without making a bound method. Empty on failure.
template <size_t N, Objects... A>
Ref try_call_method(PyObject* self, PyObject* name, KwNames<N> kw, A... args) {
    static_assert(N <= sizeof...(A), "more keyword names than arguments");
    PyObject* argv[] = {self, args...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, argv, (1 + sizeof...(A) - N) | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.tuple));
}

template <Objects... A>
Ref try_call(PyObject* callable, A... args) {
    return try_call(callable, KwNames<0>{}, args...);
}

template <Objects... A>
Ref try_call_method(PyObject* self, PyObject* name, A... args) {
    return try_call_method(self, name, KwNames<0>{}, args...);
}

// The same calls, throwing PyErrorSet on failure.
template <typename... A>
Ref call(PyObject* callable, A... args) {
    Ref r = try_call(callable, args...);
    if (!r) raise();
    return r;
}

template <typename... A>
Ref call_method(PyObject* self, PyObject* name, A... args) {
    Ref r = try_call_method(self, name, args...);
    if (!r) raise();
    return r;
}

// The exception currently set, taken out of the interpreter (normalized).
class SavedError {
public:
    SavedError() : value_(Ref::steal(compat::take_exception())) {}
    PyObject* value() const { return value_.get(); }
    bool matches(PyObject* cls) const { return PyErr_GivenExceptionMatches(value_.get(), cls) != 0; }
    // Sets the exception again in the interpreter.
    void restore() { compat::set_exception(value_.release_to_caller()); }
    // Makes this exception the context of the exception now set, as an `except` block would.
    void chain_into_current() {
        PyObject* current = compat::take_exception();
        if (current && value_) PyException_SetContext(current, value_.release_to_caller());
        if (current) compat::set_exception(current);
    }

private:
    Ref value_;
};

// For a failure that is expected: `result` comes from a try_ call. True when it failed
// with an exception of the class that `class_of()` returns, which is then dropped; false
// when it succeeded. The class is looked up only after the exception is taken out of the
// interpreter (no Python code may run while an exception is set). Other exceptions, and
// one raised by the lookup (with the first as its context), propagate.
template <typename ClassOf>
bool failed_with(const Ref& result, ClassOf&& class_of) {
    if (result) return false;
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

// Handles the exception now set as a Python `except Exception` block would: an ordinary
// exception (derived from Exception) is taken out and given to `handler(SavedError&)`,
// and an exception raised by the handler gets it as its context; any other exception
// (KeyboardInterrupt, SystemExit) propagates untouched.
template <typename Handler>
auto on_ordinary_error(Handler&& handler) -> decltype(handler(std::declval<SavedError&>())) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) raise();
    SavedError err;
    try {
        return handler(err);
    } catch (PyErrorSet&) {
        err.chain_into_current();
        throw;
    }
}

// Drops the ordinary exception now set; any other propagates.
inline void ignore_ordinary_error() {
    on_ordinary_error([](SavedError&) {});
}

// `try: return body() except Exception as err: return handler(err)`. The body reports a
// failure by throwing or by returning an empty Ref (the exception set).
template <typename Body, typename Handler>
Ref guarded(Body&& body, Handler&& handler) {
    try {
        if (Ref r = body()) return r;
    } catch (PyErrorSet&) {
    }
    return on_ordinary_error(handler);
}

}  // namespace zarn
