// The class RedisWrapper made from the class table. One Python source, generated at module
// initialisation, defines each method with its parameters, defaults and string annotations;
// its body hands the arguments to the method's C++ entry:
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
        if (p.exact && !Py_IS_TYPE(v, p.exact) && !(p.or_none && v == Py_None)) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         p.name, p.exact->tp_name, Py_TYPE(v)->tp_name);
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

// The generated source: `def make(<entries>)`, which defines every method and returns the
// class. The functions' qualnames (and their code's, which profilers and tracebacks show)
// are made "RedisWrapper.read_data" rather than the maker's "make.<locals>.read_data".
Ref source() {
    Ref list = Ref::check(PyList_New(0));
    PyObject* parts = list.get();
    add(parts, "def make(");
    for (const MethodDef& def : class_table()) add(parts, "cxx_%s, ", def.name);
    add(parts, "):\n");
    for (const MethodDef& def : class_table()) {
        add(parts, "    def %s(self", def.name);
        for (const Param& p : def.params)
            add(parts, p.default_ ? ", %s: '%s' = %s" : ", %s: '%s'", p.name, p.annotation, p.default_);
        if (def.returns) add(parts, ") -> '%s':\n", def.returns);
        else add(parts, "):\n");
        add(parts, def.python_call ? "        cxx_%s(self" : "        return cxx_%s(self", def.name);
        for (const Param& p : def.params) add(parts, ", %s", p.name);
        add(parts, ")\n");
        if (def.python_call) add(parts, "        %s\n", def.python_call);
        if (def.doc)
            add(parts, "    %s.__doc__ = %R\n", def.name, Ref::check(PyUnicode_FromString(def.doc)).get());
    }
    add(parts, "    ns = {'__module__': __name__, '__doc__': %R}\n    for f in (",
        Ref::check(PyUnicode_FromString(kClassDoc)).get());
    for (const MethodDef& def : class_table()) add(parts, "%s, ", def.name);
    add(parts, "):\n"
               "        f.__qualname__ = 'RedisWrapper.' + f.__name__\n"
               "        f.__code__ = f.__code__.replace(co_qualname=f.__qualname__)\n"
               "        ns[f.__name__] = f\n"
               "    return type('RedisWrapper', (), ns)\n");
    Ref empty = Ref::check(PyUnicode_FromString(""));
    return Ref::check(PyUnicode_Join(empty.get(), parts));
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

void make_class(PyObject* module) {
    State& st = state_of(module);
    Ref module_name = Ref::check(PyModule_GetNameObject(module));
    Ref filename = Ref::check(PyUnicode_FromFormat("<%U generated RedisWrapper>", module_name.get()));
    Ref src = source();
    const char* text = PyUnicode_AsUTF8(src.get());
    if (!text) raise();
    Ref locals = Ref::check(PyDict_New());
    exec(text, filename.get(), PyModule_GetDict(module), locals.get());
    register_source(filename.get(), src.get());

    Ref cxx = Ref::check(PyTuple_New(kMethodCount));
    for (size_t i = 0; i < kMethodCount; ++i)
        PyTuple_SET_ITEM(cxx.get(), static_cast<Py_ssize_t>(i),
                         Ref::check(PyCFunction_NewEx(&kEntries[i], module, module_name.get()))
                             .release_to_caller());
    Ref cls = Ref::check(PyObject_Call(PyDict_GetItemString(locals.get(), "make"), cxx.get(), nullptr));
    for (size_t i = 0; i < std::size(kSiblingRow); ++i) {
        st.sibling_name[i] = Ref::check(PyUnicode_InternFromString(class_table()[kSiblingRow[i]].name))
                                 .release_to_caller();
        st.sibling[i] = getattr(cls.get(), st.sibling_name[i]).release_to_caller();
    }
    check_int(PyModule_AddObjectRef(module, "RedisWrapper", cls.get()));
}

Ref try_call_sibling(const MethodCall& c, Sibling which, PyObject* const* args, size_t nargs,
                     PyObject* kwnames) {
    const size_t i = static_cast<size_t>(which);
    PyObject* self = args[0];
    Ref found = Ref::steal(PyObject_GetAttr(self, c.st.sibling_name[i]));
    if (!found) return found;
    // Still the class's own function, bound to this instance: its body, without a frame.
    // The arguments are the parameters in order (the keywords name the last ones).
    if (PyMethod_Check(found.get()) && PyMethod_GET_FUNCTION(found.get()) == c.st.sibling[i] &&
        PyMethod_GET_SELF(found.get()) == self)
        return Ref::steal(run(c.module, class_table()[kSiblingRow[i]], args, nargs));
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(PyObject_Vectorcall(
        found.get(), args + 1, (nargs - 1 - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace zarn
