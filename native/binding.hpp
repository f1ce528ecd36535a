// Binding a call to a method's parameter list, as CPython binds a Python function.
#pragma once

#include "method.hpp"

namespace zarn {

// Binds a vectorcall argument list to the method's parameters (self first) in `out`,
// as CPython binds a Python function, then applies the exact-type checks. Borrowed
// references. Returns false with TypeError set when the call does not fit.
bool bind_arguments(const Method& m, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

}  // namespace zarn
