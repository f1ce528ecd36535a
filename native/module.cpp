// The module: definition, multi-phase initialisation, module state and the import sequence.
#include "class_table.hpp"

#include <string_view>
#include <utility>

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

// The import sequence, as a Python module's statements: each binds its names before the
// next runs. Nothing calls Any, Optional and Union: they let typing.get_type_hints()
// evaluate the methods' string annotations ("Optional[int]") in the module's namespace.
constexpr const char* kImports =
    "import orjson, os, threading, atexit, queue\n"
    "from typing import Any, Optional, Union\n"
    "import redis\n"
    "from zarn_sdk.logging.logger import get_logger\n"
    "logger = get_logger('REDIS')\n";

// What to install when a module of the import sequence is missing: the note that its
// ModuleNotFoundError carries (PEP 678), so that the error says what to do.
constexpr std::pair<std::string_view, const char*> kInstallHints[] = {
    {"orjson",
     "zarn_sdk.redis.redis_wrapper needs orjson, a dependency of zarn-sdk-redis: install the "
     "module with pip (which installs orjson too) or run `pip install orjson` in this "
     "environment."},
    {"redis",
     "zarn_sdk.redis.redis_wrapper needs redis-py (distribution `redis`), a dependency of "
     "zarn-sdk-redis: install the module with pip (which installs redis-py too) or run "
     "`pip install redis` in this environment."},
    {"zarn_sdk.logging.logger",
     "zarn_sdk.redis.redis_wrapper logs through zarn_sdk.logging.logger, which the Zarn kit "
     "provides: install the module into the kit's environment, or, without the kit, install "
     "the logger stand-in distribution zarn-sdk-logger-standin (`pip install "
     "zarn_sdk_logger_standin-*.whl` from dist/, or `pip install ./logger-standin` from a "
     "checkout)."},
};

// Gives the ModuleNotFoundError now set the install hint of the module that it names, when
// that is one of kInstallHints' or a package above one (not a module missing inside one).
// Any exception stays set.
void add_install_hint() {
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return;
    SavedError err;
    try {
        Ref missing = Ref::check(PyObject_GetAttrString(err.value(), "name"));
        Py_ssize_t size = 0;  // a name that is not a str matches nothing
        const char* text = PyUnicode_Check(missing.get()) ? PyUnicode_AsUTF8AndSize(missing.get(), &size) : "";
        if (!text) raise();
        std::string_view gone(text, static_cast<size_t>(size));
        for (auto [wanted, hint] : kInstallHints)
            if (wanted.starts_with(gone) && (wanted.size() == gone.size() || wanted[gone.size()] == '.'))
                Ref::check(PyObject_CallMethod(err.value(), "add_note", "s", hint));
        err.restore();
    } catch (PyErrorSet&) {
        err.chain_into_current();
    }
}

int module_exec(PyObject* module) {
    if (!state_init(state_of(module))) return -1;
    try {
        PyObject* ns = PyModule_GetDict(module);
        Ref filename = Ref::check(PyUnicode_FromString("<zarn_sdk.redis.redis_wrapper imports>"));
        exec(kImports, filename.get(), ns, ns);
        make_class(module);
    } catch (PyErrorSet&) {
        add_install_hint();
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
