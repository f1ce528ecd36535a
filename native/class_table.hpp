// The vocabulary of the class table: parameters, their checks and defaults, and the
// description of one method. The table itself is in class_table.cpp; functions.cpp makes
// each row a Python function.
#pragma once

#include "state.hpp"

#include <span>
#include <string_view>

namespace zarn {

// Exact-type rule applied to an argument after binding.
enum class Check : unsigned char {
    any,       // not checked
    str,       // exactly str
    int_,      // exactly int (bool refused)
    dict,      // exactly dict
    list,      // exactly list
    opt_int,   // exactly int, or None
    opt_dict,  // exactly dict, or None
};

// Default value of a parameter, resolved to an object when the class is built.
enum class Default : unsigned char { required, none, true_, host, int_6379, int_2 };

struct Param {
    const char* name;
    const char* annotation;  // annotation text, or nullptr for none
    Check check;
    Default def;
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

// The class table, in definition order (kMethodCount rows).
std::span<const MethodDef> class_table();

// The object a Default stands for (new reference).
Ref default_value(Default d, PyObject* host_default);

// The methods that one method calls on its own instance, by their row in the class table.
enum class Sibling : unsigned char { write_ = 3, delete_data = 5, read_data = 9 };

// Builds the class RedisWrapper for `module`, with `host_default` as __init__'s host default.
Ref build_class(PyObject* module, PyObject* host_default);

// Makes the class table's methods Python functions of `module` (functions.cpp): compiled from
// one generated source, the module's namespace as their globals, each body handing its
// arguments to the row's implementation. Returns them as a tuple in table order; they are
// also kept in the module state (st.method).
Ref make_functions(PyObject* module, PyObject* class_qualname, PyObject* host_default);

// Calls the sibling method `which` on the instance as `self.<name>(*args)` would, the last N
// arguments passed by the keyword names `kw`, which must name the method's last N
// parameters in order. The attribute is looked up now; when it is still the module's own
// function, its C++ body runs without an interpreter frame. Empty on failure.
Ref try_call_sibling(const MethodCall& c, Sibling which, PyObject* const* args, size_t nargs,
                     PyObject* kwnames);

template <size_t N, Objects... A>
Ref try_call_sibling(const MethodCall& c, Sibling which, KwNames<N> kw, A... args) {
    static_assert(N <= sizeof...(A), "more keyword names than arguments");
    PyObject* argv[] = {c.self(), args...};
    return try_call_sibling(c, which, argv, sizeof...(A) + 1, kw.tuple);
}

template <Objects... A>
Ref try_call_sibling(const MethodCall& c, Sibling which, A... args) {
    return try_call_sibling(c, which, KwNames<0>{}, args...);
}

// Logs before_key + key + after_key + str(error) through the module's logger at `level`
// (st.name.error or st.name.warning).
void log_failure(const MethodCall& c, PyObject* level, const char* before_key,
                 const char* after_key, PyObject* key, PyObject* error);

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
Ref write_data_impl(const MethodCall&);  // values.cpp
Ref read_data_impl(const MethodCall&);  // values.cpp

}  // namespace zarn
