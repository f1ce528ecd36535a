// The method object: a callable that looks like a Python function to every tool
// (name, qualname, module, doc, defaults, annotations, signature, globals), binds to an
// instance through the descriptor protocol without a bound-method allocation on
// `obj.m(...)`, and is called through vectorcall.
#pragma once

#include "class_table.hpp"

namespace zarn {

struct Method {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    bool returns_bool;      // annotated "bool": the result is made exactly True or False
    PyObject* module;       // the owning module (state and globals)
    PyObject* name;         // str
    PyObject* qualname;     // str
    PyObject* module_name;  // str
    PyObject* doc;          // str or None
    PyObject* defaults;     // tuple or None
    PyObject* annotations;  // dict
    PyObject* param_names;  // tuple of interned str, self first
    PyObject* signature;    // inspect.Signature, built on first use, or NULL
    PyObject* mirror;       // a Python function of the same signature (binding.cpp)
    PyObject* weakrefs;
};

// Creates the method type for `module`.
PyTypeObject* method_type_create(PyObject* module);

// A new method object for the table row `def`, with the given defaults tuple (or None).
Ref method_new(PyObject* module, PyObject* class_qualname, const MethodDef& def,
               PyObject* defaults);

}  // namespace zarn
