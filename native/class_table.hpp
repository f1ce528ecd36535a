// The vocabulary of the class table: parameters, their checks and defaults, and the
// description of one method. The table itself is in class_table.cpp; functions.cpp makes
// the class from it.
#pragma once

#include "state.hpp"

#include <span>
#include <string_view>

namespace zarn {

// The type that an argument so annotated must be exactly ("str", "int", "dict", "list", or
// "Optional[...]" of one of them); nullptr when the annotation is not checked.
constexpr PyTypeObject* exact_type(std::string_view annotation) {
    std::string_view a = annotation;
    if (a.starts_with("Optional[")) a = a.substr(9, a.size() - 10);
    return a == "str" ? &PyUnicode_Type : a == "int" ? &PyLong_Type
         : a == "dict" ? &PyDict_Type : a == "list" ? &PyList_Type : nullptr;
}

struct Param {
    const char* name;
    const char* annotation;           // annotation text
    const char* default_ = nullptr;   // Python expression, evaluated once at import; or none
    PyTypeObject* exact = exact_type(annotation);  // checked after binding (bool refused)
    bool or_none = std::string_view(annotation).starts_with("Optional[");
};

// The bound arguments of one method call: the instance, then the parameters in table order.
struct MethodCall {
    PyObject* module;
    const State& st;
    PyObject* const* args;

    PyObject* self() const { return args[0]; }
    PyObject* operator[](size_t i) const { return args[i + 1]; }
    // The module-level binding `name` (one of st.name), looked up now.
    Ref global(PyObject* name) const { return module_global(module, name); }
};

// A method's body: gets checked arguments, returns a new reference; on failure it throws
// PyErrorSet or returns an empty Ref, the exception set either way (py.hpp).
using Impl = Ref (*)(const MethodCall&);

// One row of the class table: what a method's Python function is made from.
struct MethodDef {
    const char* name;
    std::span<const Param> params;  // after self
    const char* returns;            // return annotation text, or nullptr for none
    const char* doc;                // docstring, or nullptr for none
    Impl impl;
    // For a method whose whole work is one call on the client: that call as a Python
    // statement, result rule included. The function's body then runs only the checks in
    // C++ and makes the call itself, where the interpreter's inline caches and inline call
    // apply (C++ pays a generic attribute lookup and a fresh interpreter entry for it, more
    // than the function's frame). `impl` does the same for a direct sibling call. nullptr:
    // the body returns what `impl` returns.
    const char* python_call = nullptr;
    // Annotated "bool": the result is made exactly True or False.
    bool returns_bool = returns != nullptr && std::string_view(returns) == "bool";
};

// The class table, in definition order, and the class's docstring.
inline constexpr size_t kMethodCount = 11;
std::span<const MethodDef> class_table();
extern const char* const kClassDoc;

// Makes the class RedisWrapper from the class table and binds it in `module` (functions.cpp):
// its methods are Python functions compiled from one generated source, the module's
// namespace as their globals, each body handing its arguments to the row's implementation.
void make_class(PyObject* module);

// Calls the sibling method `which` on the instance as `self.<name>(*args)` would: `args` are
// the instance and the arguments, the last ones passed by the keyword names `kwnames` (which
// must name the method's last parameters in order), or by position when it is nullptr. The
// attribute is looked up now; when it is still the class's own function, its C++ body runs
// without an interpreter frame. Empty on failure.
Ref try_call_sibling(const MethodCall& c, Sibling which, PyObject* const* args, size_t nargs,
                     PyObject* kwnames = nullptr);

template <Objects... A>
Ref try_call_sibling(const MethodCall& c, Sibling which, A... args) {
    PyObject* argv[] = {c.self(), args...};
    return try_call_sibling(c, which, argv, sizeof...(A) + 1);
}

// Logs before_key + key + after_key + str(error) through the module's logger at `level`
// (st.name.error or st.name.warning).
inline void log_failure(const MethodCall& c, PyObject* level, const char* before_key,
                        const char* after_key, PyObject* key, PyObject* error) {
    Ref text = Ref::check(PyObject_Str(error));
    Ref line = Ref::check(PyUnicode_FromFormat("%s%U%s%U", before_key, key, after_key, text.get()));
    call_method(c.global(c.st.name.logger).get(), level, line.get());
}

// Method bodies, one file per area.
Ref init_impl(const MethodCall&);  // lifecycle.cpp
Ref shutdown_executor_impl(const MethodCall&);  // lifecycle.cpp
Ref worker_loop_impl(const MethodCall&);  // writer.cpp
Ref write_impl(const MethodCall&);  // writer.cpp
Ref write_zarn_data_impl(const MethodCall&);  // frames.cpp
Ref read_zarn_data_impl(const MethodCall&);  // frames.cpp
Ref delete_data_impl(const MethodCall&);  // keys.cpp
Ref delete_many_impl(const MethodCall&);  // keys.cpp
Ref scan_keys_impl(const MethodCall&);  // keys.cpp
Ref write_data_impl(const MethodCall&);  // keys.cpp
Ref read_data_impl(const MethodCall&);  // keys.cpp

}  // namespace zarn
