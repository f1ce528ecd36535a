// Binding a call to a method's parameter list, as CPython binds a Python function, then the
// exact-type checks. A call that does not fit is handed to the method's `mirror`, a Python
// function of the same signature: the interpreter raises its own TypeError, with the texts
// of the running version (3.13 adds suggestions such as ". Did you mean 'redis_key'?").
#include "binding.hpp"

namespace zarn {
namespace {

// Index of the parameter named `key`, -1 when none, -2 when the comparison raised.
// Identity first (keywords are normally interned), then equality, as CPython does.
Py_ssize_t find_param(PyObject* names, PyObject* key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    for (Py_ssize_t j = 0; j < n; ++j)
        if (PyTuple_GET_ITEM(names, j) == key) return j;
    for (Py_ssize_t j = 0; j < n; ++j) {
        int eq = PyObject_RichCompareBool(key, PyTuple_GET_ITEM(names, j), Py_EQ);
        if (eq > 0) return j;
        if (eq < 0) return -2;
    }
    return -1;
}

// The call does not fit: the interpreter's own TypeError, from the mirror function.
bool does_not_fit(const Method& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* r = PyObject_Vectorcall(m.mirror, args, static_cast<size_t>(nargs), kwnames);
    if (r) {
        Py_DECREF(r);
        PyErr_Format(PyExc_SystemError, "%U(): arguments refused but accepted by the mirror",
                     m.qualname);
    }
    return false;
}

const char* expected_name(Check c) {
    switch (c) {
        case Check::str: return "str";
        case Check::int_:
        case Check::opt_int: return "int";
        case Check::dict:
        case Check::opt_dict: return "dict";
        case Check::list: return "list";
        case Check::any: break;
    }
    return "object";
}

bool passes(Check c, PyObject* v) {
    switch (c) {
        case Check::any: return true;
        case Check::str: return PyUnicode_CheckExact(v);
        case Check::int_: return PyLong_CheckExact(v);
        case Check::dict: return PyDict_CheckExact(v);
        case Check::list: return PyList_CheckExact(v);
        case Check::opt_int: return v == Py_None || PyLong_CheckExact(v);
        case Check::opt_dict: return v == Py_None || PyDict_CheckExact(v);
    }
    return false;
}

}  // namespace

bool bind_arguments(const Method& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) {
    const Py_ssize_t n = PyTuple_GET_SIZE(m.param_names);
    if (nargs > n) return does_not_fit(m, args, nargs, kwnames);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (nargs < n || kwnames) {
        for (Py_ssize_t i = nargs; i < n; ++i) out[i] = nullptr;

        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) return does_not_fit(m, args, nargs, kwnames);
            const Py_ssize_t j = find_param(m.param_names, key);
            if (j == -2) return false;
            if (j < 0 || out[j]) return does_not_fit(m, args, nargs, kwnames);
            out[j] = args[nargs + k];
        }

        const Py_ssize_t ndefaults = m.defaults == Py_None ? 0 : PyTuple_GET_SIZE(m.defaults);
        const Py_ssize_t first_default = n - ndefaults;
        for (Py_ssize_t i = nargs; i < n; ++i) {
            if (out[i]) continue;
            if (i < first_default) return does_not_fit(m, args, nargs, kwnames);
            out[i] = PyTuple_GET_ITEM(m.defaults, i - first_default);
        }
    }

    // Exact-type checks, in parameter order (out[0] is the instance).
    const auto& params = m.def->params;
    for (size_t i = 0; i < params.size(); ++i) {
        PyObject* v = out[i + 1];
        if (!passes(params[i].check, v)) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         params[i].name, expected_name(params[i].check), Py_TYPE(v)->tp_name);
            return false;
        }
    }
    return true;
}

}  // namespace zarn
