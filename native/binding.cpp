// Binding a call to a method's parameter list, with the TypeError texts that CPython 3.11
// gives for a Python function of the same signature, then the exact-type checks.
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

Py_ssize_t default_count(const Method& m) {
    return m.defaults == Py_None ? 0 : PyTuple_GET_SIZE(m.defaults);
}

void too_many_positional(const Method& m, Py_ssize_t given) {
    const Py_ssize_t n = PyTuple_GET_SIZE(m.param_names);
    const Py_ssize_t ndef = default_count(m);
    Ref sig = Ref::steal(ndef ? PyUnicode_FromFormat("from %zd to %zd", n - ndef, n)
                              : PyUnicode_FromFormat("%zd", n));
    if (!sig) return;
    const bool plural = ndef || n != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 m.qualname, sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the names of the unfilled required parameters.
void missing_arguments(const Method& m, Py_ssize_t from, Py_ssize_t to, PyObject* const* out) {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return;
    for (Py_ssize_t i = from; i < to; ++i) {
        if (out[i]) continue;
        Ref r = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(m.param_names, i)));
        if (!r || PyList_Append(names.get(), r.get()) < 0) return;
    }
    const Py_ssize_t len = PyList_GET_SIZE(names.get());
    Ref text;
    if (len == 1) {
        text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (len == 2) {
        text = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                               PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail = Ref::steal(PyUnicode_FromFormat(", %U, and %U",
                                                   PyList_GET_ITEM(names.get(), len - 2),
                                                   PyList_GET_ITEM(names.get(), len - 1)));
        if (!tail || PyList_SetSlice(names.get(), len - 2, len, nullptr) < 0) return;
        Ref sep = Ref::steal(PyUnicode_FromString(", "));
        if (!sep) return;
        Ref head = Ref::steal(PyUnicode_Join(sep.get(), names.get()));
        if (!head) return;
        text = Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
    }
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 m.qualname, len, len == 1 ? "" : "s", text.get());
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
    const Py_ssize_t npos = nargs < n ? nargs : n;
    for (Py_ssize_t i = 0; i < npos; ++i) out[i] = args[i];
    for (Py_ssize_t i = npos; i < n; ++i) out[i] = nullptr;

    // Keywords first: CPython reports a bad keyword before surplus positional arguments.
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", m.qualname);
            return false;
        }
        const Py_ssize_t j = find_param(m.param_names, key);
        if (j == -2) return false;
        if (j < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                         m.qualname, key);
            return false;
        }
        if (out[j]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         m.qualname, key);
            return false;
        }
        out[j] = args[nargs + k];
    }

    if (nargs > n) {
        too_many_positional(m, nargs);
        return false;
    }

    const Py_ssize_t first_default = n - default_count(m);
    for (Py_ssize_t i = nargs; i < first_default; ++i) {
        if (!out[i]) {
            missing_arguments(m, nargs, first_default, out);
            return false;
        }
    }
    for (Py_ssize_t i = first_default; i < n; ++i)
        if (!out[i]) out[i] = PyTuple_GET_ITEM(m.defaults, i - first_default);

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
