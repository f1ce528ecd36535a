// The method object type: call trampoline, descriptor binding and introspection.
#include "binding.hpp"

#include <structmember.h>

#include <string>
#include <string_view>

namespace zarn {
namespace {

Method* as_method(PyObject* o) { return reinterpret_cast<Method*>(o); }

// The call trampoline: binds and checks the arguments, runs the body, and is the one
// place where a C++ "Python exception is set" becomes a NULL return.
PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    const Method& m = *as_method(callable);
    PyObject* bound[kMaxArgs];
    if (!bind_arguments(m, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    try {
        Ref result = m.def->impl(MethodCall{m.module, state_of(m.module), bound});
        // An overriding subclass method that the body called may have answered with any
        // object: a method annotated "bool" returns its truth, exactly True or False.
        if (m.returns_bool && result && !PyBool_Check(result.get()))
            result = Ref::of_bool(truth(result.get()));
        return result.release_to_caller();
    } catch (PyErrorSet&) {
        return nullptr;
    }
}

// obj.method -> a bound method; Class.method -> the function itself, as for Python functions.
PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_method(self)->qualname, self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    Method* m = as_method(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->module);
    Py_VISIT(m->defaults);
    Py_VISIT(m->annotations);
    Py_VISIT(m->signature);
    Py_VISIT(m->mirror);
    return 0;
}

int method_clear(PyObject* self) {
    Method* m = as_method(self);
    Py_CLEAR(m->module);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->module_name);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->defaults);
    Py_CLEAR(m->annotations);
    Py_CLEAR(m->param_names);
    Py_CLEAR(m->signature);
    Py_CLEAR(m->mirror);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_method(self)->weakrefs) PyObject_ClearWeakRefs(self);
    method_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

// The module's namespace, as a Python function's __globals__: typing.get_type_hints()
// evaluates the string annotations in it (the module binds Any, Optional and Union for that).
PyObject* get_globals(PyObject* self, void*) {
    return Py_NewRef(PyModule_GetDict(as_method(self)->module));
}

// inspect.Signature of the method, built from the table on first use.
Ref build_signature(const Method& m) {
    Ref inspect = Ref::check(PyImport_ImportModule("inspect"));
    Ref parameter = Ref::check(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref kind = Ref::check(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    const Py_ssize_t n = PyTuple_GET_SIZE(m.param_names);
    const Py_ssize_t first_default = n - (m.defaults == Py_None ? 0 : PyTuple_GET_SIZE(m.defaults));
    Ref params = Ref::check(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(m.param_names, i);
        Ref kwargs = Ref::check(PyDict_New());
        if (i >= first_default)
            check_int(PyDict_SetItemString(kwargs.get(), "default",
                                           PyTuple_GET_ITEM(m.defaults, i - first_default)));
        if (PyObject* ann = PyDict_GetItemWithError(m.annotations, name))
            check_int(PyDict_SetItemString(kwargs.get(), "annotation", ann));
        else if (PyErr_Occurred())
            raise();
        Ref args = Ref::check(PyTuple_Pack(2, name, kind.get()));
        Ref p = Ref::check(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
        check_int(PyList_Append(params.get(), p.get()));
    }
    Ref signature_type = Ref::check(PyObject_GetAttrString(inspect.get(), "Signature"));
    Ref args = Ref::check(PyTuple_Pack(1, params.get()));
    Ref kwargs = Ref::check(PyDict_New());
    if (m.def->returns) {
        Ref ret = Ref::check(PyUnicode_FromString(m.def->returns));
        check_int(PyDict_SetItemString(kwargs.get(), "return_annotation", ret.get()));
    }
    return Ref::check(PyObject_Call(signature_type.get(), args.get(), kwargs.get()));
}

PyObject* get_signature(PyObject* self, void*) {
    Method* m = as_method(self);
    if (!m->signature) {
        try {
            m->signature = build_signature(*m).release_to_caller();
        } catch (PyErrorSet&) {
            return nullptr;
        }
    }
    return Py_NewRef(m->signature);
}

PyGetSetDef method_getset[] = {
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Method, vectorcall), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Method, weakrefs), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(Method, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Method, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Method, module_name), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(Method, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(Method, defaults), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(Method, annotations), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_getset, method_getset},
    {Py_tp_members, method_members},
    {0, nullptr},
};

PyType_Spec method_spec = {
    "zarn_sdk.redis.redis_wrapper.method",
    sizeof(Method),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    method_slots,
};

// `def <name>(self, <params>): pass` with the method's qualname and defaults: calling it
// with arguments that do not fit raises the interpreter's own TypeError for them.
Ref make_mirror(const MethodDef& def, PyObject* qualname, PyObject* defaults) {
    std::string source = std::string("def ") + def.name + "(self";
    for (const Param& p : def.params) source += std::string(", ") + p.name;
    source += "):\n    pass\n";
    Ref code = Ref::check(Py_CompileString(source.c_str(), "<signature>", Py_file_input));
    Ref ns = Ref::check(PyDict_New());
    Ref::check(PyEval_EvalCode(code.get(), ns.get(), ns.get()));
    Ref function = Ref::borrow(PyDict_GetItemString(ns.get(), def.name));
    check_int(PyObject_SetAttrString(function.get(), "__qualname__", qualname));
    check_int(PyObject_SetAttrString(function.get(), "__defaults__", defaults));
    return function;
}

}  // namespace

PyTypeObject* method_type_create(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &method_spec, nullptr));
}

Ref method_new(PyObject* module, PyObject* class_qualname, const MethodDef& def,
               PyObject* defaults) {
    Method* m = PyObject_GC_New(Method, state_of(module).method_type);
    if (!m) raise();
    m->vectorcall = method_vectorcall;
    m->def = &def;
    m->returns_bool = def.returns && std::string_view(def.returns) == "bool";
    m->module = Py_NewRef(module);
    m->name = m->qualname = m->module_name = m->doc = nullptr;
    m->defaults = m->annotations = m->param_names = m->signature = m->mirror = m->weakrefs = nullptr;
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(m));
    PyObject_GC_Track(m);

    m->name = Ref::check(PyUnicode_InternFromString(def.name)).release_to_caller();
    m->qualname = Ref::check(PyUnicode_FromFormat("%U.%s", class_qualname, def.name))
                      .release_to_caller();
    m->module_name = Ref::check(PyModule_GetNameObject(module)).release_to_caller();
    m->doc = def.doc ? Ref::check(PyUnicode_FromString(def.doc)).release_to_caller()
                      : Py_NewRef(Py_None);
    m->defaults = Py_NewRef(defaults);

    Ref names = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(def.params.size() + 1)));
    PyTuple_SET_ITEM(names.get(), 0, Ref::check(PyUnicode_InternFromString("self")).release_to_caller());
    Ref annotations = Ref::check(PyDict_New());
    for (size_t i = 0; i < def.params.size(); ++i) {
        const Param& p = def.params[i];
        Ref name = Ref::check(PyUnicode_InternFromString(p.name));
        if (p.annotation) {
            Ref ann = Ref::check(PyUnicode_FromString(p.annotation));
            check_int(PyDict_SetItem(annotations.get(), name.get(), ann.get()));
        }
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i + 1), name.release_to_caller());
    }
    if (def.returns) {
        Ref ret = Ref::check(PyUnicode_FromString(def.returns));
        check_int(PyDict_SetItemString(annotations.get(), "return", ret.get()));
    }
    m->param_names = names.release_to_caller();
    m->annotations = annotations.release_to_caller();
    m->mirror = make_mirror(def, m->qualname, defaults).release_to_caller();
    return self;
}

}  // namespace zarn
