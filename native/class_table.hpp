// The vocabulary of the class table: parameters, their checks and defaults, and the
// description of one method. The table itself is in class_table.cpp.
#pragma once

#include "state.hpp"

#include <span>

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

// One row of the class table: what a method object is made from.
struct MethodDef {
    const char* name;
    std::span<const Param> params;  // after self
    const char* returns;            // return annotation text, or nullptr for none
    const char* doc;                // docstring, or nullptr for none
    Impl impl;
};

// Most arguments a method takes, self included: the size of the call trampoline's array.
inline constexpr size_t kMaxArgs = 5;

// Builds the class RedisWrapper for `module`, with `host_default` as __init__'s host default.
Ref build_class(PyObject* module, PyObject* host_default);

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
