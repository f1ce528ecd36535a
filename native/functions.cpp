// The class's methods as Python functions. One source, generated from the class table at
// module initialisation, defines each method with its parameters, defaults and string
// annotations; its body hands the arguments to the method's C++ entry:
//
//     def delete_data(self, redis_key: 'str') -> 'bool':
//         return cxx_delete_data(self, redis_key)
//
// The interpreter binds the arguments and raises its own call-shape errors; the entry does
// the exact-type checks, runs the body and applies the bool-return rule. For a row with a
// `python_call` the entry only checks, and the function makes that call itself. The source
// is registered with linecache under a name that says what it is, so tracebacks show its
// lines.
#include "class_table.hpp"

#include <array>
#include <utility>

namespace zarn {
namespace {

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

// Runs the table row `def` on `args` (the instance, then every parameter): the exact-type
// checks in parameter order, the body, and the bool-return rule. The one place where a C++
// "Python exception is set" becomes a NULL return. New reference.
PyObject* run(PyObject* module, const MethodDef& def, PyObject* const* args, size_t nargs,
              bool checks_only = false) {
    if (nargs != def.params.size() + 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu arguments (%zu given)", def.name,
                     def.params.size() + 1, nargs);
        return nullptr;
    }
    for (size_t i = 0; i < def.params.size(); ++i) {
        const Param& p = def.params[i];
        PyObject* v = args[i + 1];
        if (!passes(p.check, v)) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         p.name, expected_name(p.check), Py_TYPE(v)->tp_name);
            return nullptr;
        }
    }
    if (checks_only) return Py_NewRef(Py_None);
    try {
        Ref result = def.impl(MethodCall{module, state_of(module), args});
        // An overriding subclass method that the body called may have answered with any
        // object: a method annotated "bool" returns its truth, exactly True or False.
        if (def.returns_bool && result && !PyBool_Check(result.get()))
            result = Ref::of_bool(truth(result.get()));
        return result.release_to_caller();
    } catch (PyErrorSet&) {
        return nullptr;
    }
}

// The C++ entry of row I, which its function's body calls with (self, *parameters); the
// module is the builtin's self. Only the checks when the body makes the call itself.
template <size_t I>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    const MethodDef& def = class_table()[I];
    return run(module, def, args, static_cast<size_t>(nargs), def.python_call != nullptr);
}

template <size_t... I>
auto entries(std::index_sequence<I...>) {
    return std::array<PyMethodDef, sizeof...(I)>{
        PyMethodDef{class_table()[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<I>)),
                    METH_FASTCALL, nullptr}...};
}

// Read-only after load, like any extension's method table: builtins point into it.
std::array<PyMethodDef, kMethodCount> kEntries = entries(std::make_index_sequence<kMethodCount>{});

// Appends PyUnicode_FromFormat(fmt, args...) to the list `parts`. The source is built
// from Python strings rather than std::string: what std::string inlines differs between
// compilers, and a newer libstdc++ symbol would raise the wheel's manylinux tag.
template <class... A>
void add(PyObject* parts, const char* fmt, A... args) {
    Ref piece = Ref::check(PyUnicode_FromFormat(fmt, args...));
    check_int(PyList_Append(parts, piece.get()));
}

// The generated source: `def make(<entries>)`, which defines every method and returns
// them in table order. New reference (str).
Ref source(PyObject* host_default) {
    Ref list = Ref::check(PyList_New(0));
    PyObject* parts = list.get();
    add(parts, "def make(");
    for (const MethodDef& def : class_table())
        add(parts, &def == &class_table().back() ? "cxx_%s):\n" : "cxx_%s, ", def.name);
    for (const MethodDef& def : class_table()) {
        add(parts, "    def %s(self", def.name);
        for (const Param& p : def.params) {
            add(parts, ", %s", p.name);
            if (p.annotation) add(parts, ": '%s'", p.annotation);
            if (p.def != Default::required)
                add(parts, " = %R", default_value(p.def, host_default).get());
        }
        if (def.returns) add(parts, ") -> '%s':\n", def.returns);
        else add(parts, "):\n");
        add(parts, def.python_call ? "        cxx_%s(self" : "        return cxx_%s(self", def.name);
        for (const Param& p : def.params) add(parts, ", %s", p.name);
        add(parts, ")\n");
        if (def.python_call) add(parts, "        %s\n", def.python_call);
    }
    add(parts, "    return (");
    for (const MethodDef& def : class_table()) add(parts, "%s, ", def.name);
    add(parts, ")\n");
    Ref empty = Ref::check(PyUnicode_FromString(""));
    return Ref::check(PyUnicode_Join(empty.get(), parts));
}

// UTF-8 of a str, owned by the str.
const char* utf8(PyObject* text) {
    const char* data = PyUnicode_AsUTF8(text);
    if (!data) raise();
    return data;
}

// Registers `text` with linecache as the text of `filename`, as attrs does for its methods.
void register_source(PyObject* filename, PyObject* text) {
    Ref lines = Ref::check(PyObject_CallMethod(text, "splitlines", "O", Py_True));
    Ref linecache = Ref::check(PyImport_ImportModule("linecache"));
    Ref cache = Ref::check(PyObject_GetAttrString(linecache.get(), "cache"));
    Ref entry = Ref::check(Py_BuildValue("(nOOO)", PyUnicode_GET_LENGTH(text), Py_None,
                                         lines.get(), filename));
    check_int(PyObject_SetItem(cache.get(), filename, entry.get()));
}

}  // namespace

Ref make_functions(PyObject* module, PyObject* class_qualname, PyObject* host_default) {
    State& st = state_of(module);
    Ref module_name = Ref::check(PyModule_GetNameObject(module));
    Ref filename = Ref::check(PyUnicode_FromFormat("<%U generated %U>", module_name.get(),
                                                   class_qualname));
    Ref src = source(host_default);
    Ref code = Ref::check(Py_CompileString(utf8(src.get()), utf8(filename.get()), Py_file_input));
    Ref locals = Ref::check(PyDict_New());
    Ref::check(PyEval_EvalCode(code.get(), PyModule_GetDict(module), locals.get()));
    register_source(filename.get(), src.get());

    Ref make = Ref::borrow(PyDict_GetItemString(locals.get(), "make"));
    Ref cxx = Ref::check(PyTuple_New(kMethodCount));
    for (size_t i = 0; i < kMethodCount; ++i)
        PyTuple_SET_ITEM(cxx.get(), static_cast<Py_ssize_t>(i),
                         Ref::check(PyCFunction_NewEx(&kEntries[i], module, module_name.get()))
                             .release_to_caller());
    Ref functions = Ref::check(PyObject_Call(make.get(), cxx.get(), nullptr));

    Ref co_qualname = Ref::check(PyTuple_Pack(1, Ref::check(PyUnicode_FromString("co_qualname")).get()));
    for (size_t i = 0; i < kMethodCount; ++i) {
        const MethodDef& def = class_table()[i];
        PyObject* f = PyTuple_GET_ITEM(functions.get(), static_cast<Py_ssize_t>(i));
        // "RedisWrapper.read_data" for the function and its code (profilers, tracebacks)
        // rather than the maker's "make.<locals>.read_data".
        Ref qualname = Ref::check(PyUnicode_FromFormat("%U.%s", class_qualname, def.name));
        check_int(PyObject_SetAttrString(f, "__qualname__", qualname.get()));
        Ref replace = Ref::check(PyObject_GetAttrString(PyFunction_GetCode(f), "replace"));
        PyObject* argv[] = {nullptr, qualname.get()};
        Ref renamed = Ref::check(PyObject_Vectorcall(
            replace.get(), argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, co_qualname.get()));
        check_int(PyObject_SetAttrString(f, "__code__", renamed.get()));
        if (def.doc) {
            Ref doc = Ref::check(PyUnicode_FromString(def.doc));
            check_int(PyObject_SetAttrString(f, "__doc__", doc.get()));
        }
        Py_XSETREF(st.method[i], Py_NewRef(f));
    }
    return functions;
}

Ref try_call_sibling(const MethodCall& c, Sibling which, PyObject* const* args, size_t nargs,
                     PyObject* kwnames) {
    const size_t row = static_cast<size_t>(which);
    PyObject* name = which == Sibling::write_       ? c.st.name._write_
                     : which == Sibling::delete_data ? c.st.name.delete_data
                                                     : c.st.name.read_data;
    PyObject* self = args[0];
    Ref found = Ref::steal(PyObject_GetAttr(self, name));
    if (!found) return found;
    // Still the module's own function, bound to this instance: its body, without a frame.
    // The arguments are the parameters in order (the keywords name the last ones).
    if (PyMethod_Check(found.get()) && PyMethod_GET_FUNCTION(found.get()) == c.st.method[row] &&
        PyMethod_GET_SELF(found.get()) == self)
        return Ref::steal(run(c.module, class_table()[row], args, nargs));
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(PyObject_Vectorcall(
        found.get(), args + 1, (nargs - 1 - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace zarn
