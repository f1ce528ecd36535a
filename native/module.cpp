// The module: definition, multi-phase initialisation, module state and the import sequence.
#include "class_table.hpp"

#include <iterator>
#include <string_view>

namespace zarn {

bool state_init(State& st) {
#define ZARN_INIT_NAME(id, text) \
    if (!(st.name.id = PyUnicode_InternFromString(text))) return false;
    ZARN_NAMES(ZARN_INIT_NAME)
#undef ZARN_INIT_NAME
#define ZARN_INIT_KW(id, ...)                                                   \
    {                                                                           \
        const char* names[] = {__VA_ARGS__};                                    \
        PyObject* t = st.kw.id.tuple = PyTuple_New(std::size(names));           \
        if (!t) return false;                                                   \
        for (size_t k = 0; k < std::size(names); ++k) {                         \
            PyObject* s = PyUnicode_InternFromString(names[k]);                 \
            if (!s) return false;                                               \
            PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(k), s);                 \
        }                                                                       \
    }
    ZARN_KWNAMES(ZARN_INIT_KW)
#undef ZARN_INIT_KW
    return (st.num.one = PyLong_FromLong(1)) && (st.num.five = PyLong_FromLong(5)) &&
           (st.num.ten = PyLong_FromLong(10)) && (st.num.take_timeout = PyFloat_FromDouble(0.2)) &&
           (st.num.join_timeout = PyFloat_FromDouble(0.5));
}

Ref module_global(PyObject* module, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (v) return Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise();
}

namespace {

// What to install when a module of the import sequence is missing: the note that its
// ModuleNotFoundError carries (PEP 678), so that the error says what to do.
const char* install_hint(const char* name) {
    std::string_view n = name;
    if (n == "orjson")
        return "zarn_sdk.redis.redis_wrapper needs orjson, a dependency of zarn-sdk-redis: "
               "install the module with pip (which installs orjson too) or run "
               "`pip install orjson` in this environment.";
    if (n == "redis")
        return "zarn_sdk.redis.redis_wrapper needs redis-py (distribution `redis`), a "
               "dependency of zarn-sdk-redis: install the module with pip (which installs "
               "redis-py too) or run `pip install redis` in this environment.";
    if (n == "zarn_sdk.logging.logger")
        return "zarn_sdk.redis.redis_wrapper logs through zarn_sdk.logging.logger, which the "
               "Zarn kit provides: install the module into the kit's environment, or, "
               "without the kit, install the logger stand-in distribution "
               "zarn-sdk-logger-standin (`pip install zarn_sdk_logger_standin-*.whl` from "
               "dist/, or `pip install ./logger-standin` from a checkout).";
    return nullptr;
}

// `import <name>`. A ModuleNotFoundError for that module, or for a package above it, gets
// the module's install hint as a note; every other failure propagates as raised.
Ref import_module(const char* name) {
    PyObject* mod = PyImport_ImportModule(name);
    if (mod) return Ref::steal(mod);
    const char* hint = install_hint(name);
    if (!hint || !PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) raise();
    SavedError err;
    try {
        Ref missing = Ref::check(PyObject_GetAttrString(err.value(), "name"));
        std::string_view wanted = name, gone;
        if (PyUnicode_Check(missing.get())) {
            Py_ssize_t size;
            const char* text = PyUnicode_AsUTF8AndSize(missing.get(), &size);
            if (!text) raise();
            gone = std::string_view(text, static_cast<size_t>(size));
        }
        if (!gone.empty() && (wanted == gone || (wanted.starts_with(gone) &&
                                                 wanted[gone.size()] == '.'))) {
            Ref note = Ref::check(PyUnicode_FromString(hint));
            Ref done = Ref::check(PyObject_CallMethod(err.value(), "add_note", "O", note.get()));
        }
    } catch (PyErrorSet&) {
        err.chain_into_current();
        throw;
    }
    err.restore();
    raise();
}

// `import <name>`, bound in the module under its own name.
void import_as_own_name(PyObject* module, const char* name) {
    Ref mod = import_module(name);
    check_int(PyModule_AddObjectRef(module, name, mod.get()));
}

// `from <from> import <name>`, with the ImportError text of the import statement.
Ref import_from(const char* from, const char* name) {
    Ref mod = import_module(from);
    PyObject* v = PyObject_GetAttrString(mod.get(), name);
    if (v) return Ref::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    PyObject* file = PyModule_Check(mod.get()) ? PyModule_GetFilenameObject(mod.get()) : nullptr;
    if (!file) PyErr_Clear();
    Ref file_ref = Ref::steal(file);
    Ref msg = Ref::check(file ? PyUnicode_FromFormat("cannot import name '%s' from '%s' (%U)",
                                                     name, from, file)
                              : PyUnicode_FromFormat(
                                    "cannot import name '%s' from '%s' (unknown location)",
                                    name, from));
    Ref mod_name = Ref::check(PyUnicode_FromString(from));
    PyErr_SetImportError(msg.get(), mod_name.get(), file);
    raise();
}

void bind_from(PyObject* module, const char* from, const char* name) {
    Ref v = import_from(from, name);
    check_int(PyModule_AddObjectRef(module, name, v.get()));
}

// The default host: $REDIS_HOST when set (even empty), else "localhost"; read once, here.
Ref host_default(PyObject* module) {
    Ref os = module_global(module, Ref::check(PyUnicode_FromString("os")).get());
    Ref environ = Ref::check(PyObject_GetAttrString(os.get(), "environ"));
    Ref key = Ref::check(PyUnicode_FromString("REDIS_HOST"));
    Ref fallback = Ref::check(PyUnicode_FromString("localhost"));
    Ref get = Ref::check(PyObject_GetAttrString(environ.get(), "get"));
    return call(get.get(), key.get(), fallback.get());
}

// The import sequence: each step binds its name before the next runs.
void run_import_sequence(PyObject* module) {
    for (const char* name : {"orjson", "os", "threading", "atexit", "queue"})
        import_as_own_name(module, name);
    // Nothing calls these: they let typing.get_type_hints() evaluate the methods' string
    // annotations ("Optional[int]") in the module's namespace, as for a Python module.
    for (const char* name : {"Any", "Optional", "Union"}) bind_from(module, "typing", name);
    import_as_own_name(module, "redis");
    bind_from(module, "zarn_sdk.logging.logger", "get_logger");

    Ref get_logger = module_global(module, Ref::check(PyUnicode_FromString("get_logger")).get());
    Ref tag = Ref::check(PyUnicode_FromString("REDIS"));
    Ref logger = call(get_logger.get(), tag.get());
    check_int(PyModule_AddObjectRef(module, "logger", logger.get()));

    Ref cls = build_class(module, host_default(module).get());
    check_int(PyModule_AddObjectRef(module, "RedisWrapper", cls.get()));
}

int module_exec(PyObject* module) {
    State& st = state_of(module);
    if (!state_init(st)) return -1;
    try {
        run_import_sequence(module);
    } catch (PyErrorSet&) {
        return -1;
    }
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    int r = 0;
    state_of(module).for_each([&](PyObject*& o) {
        if (!r && o) r = visit(o, arg);
    });
    return r;
}

int module_clear(PyObject* module) {
    state_of(module).for_each([](PyObject*& o) { Py_CLEAR(o); });
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "redis_wrapper",
    "Redis client for the kit's containers: frame records, plain values and key housekeeping.",
    sizeof(State),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace zarn

PyMODINIT_FUNC PyInit_redis_wrapper(void) { return PyModuleDef_Init(&zarn::module_def); }
