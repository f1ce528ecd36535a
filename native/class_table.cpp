// The public face of RedisWrapper as one table: every method in definition order, with
// its parameters, defaults, annotations, docstring and body.
#include "class_table.hpp"

#include <string_view>

namespace zarn {
namespace {

constexpr const char* kClassDoc =
    "Represents a redis client specified for the containers.\n"
    "\n"
    "    Args:\n"
    "        thread(bool): Use threading or not\n"
    "        host(str): Redis server host\n"
    "        port(int): Redis server port\n"
    "    ";

using C = Check;
using D = Default;

constexpr Param kInit[] = {
    {"thread", "bool", C::any, D::true_},
    {"host", "str", C::str, D::host},
    {"port", "int", C::int_, D::int_6379},
    {"workers", "int", C::int_, D::int_2},
};
constexpr Param kWrite[] = {
    {"data", "dict", C::dict, D::required},
    {"redis_key", "str", C::str, D::required},
    {"ttl", "Optional[int]", C::opt_int, D::none},
};
constexpr Param kWriteZarnData[] = {
    {"data", "Optional[dict]", C::opt_dict, D::required},
    {"redis_key", "str", C::str, D::required},
    {"ttl", "Optional[int]", C::opt_int, D::none},
};
constexpr Param kKey[] = {
    {"redis_key", "str", C::str, D::required},
};
constexpr Param kKeys[] = {
    {"redis_keys", "list", C::list, D::required},
};
constexpr Param kPattern[] = {
    {"pattern", "str", C::str, D::required},
};
constexpr Param kWriteData[] = {
    {"redis_key", "str", C::str, D::required},
    {"data", "Union[str, dict]", C::any, D::required},
    {"ttl", "Optional[int]", C::opt_int, D::none},
};

constexpr MethodDef kMethods[] = {
    {"__init__", kInit, nullptr, nullptr, init_impl},
    {"_shutdown_executor", {}, nullptr, nullptr, shutdown_executor_impl},
    {"_worker_loop", {}, nullptr, nullptr, worker_loop_impl},
    {"_write_", kWrite, "bool",
     "\n"
     "        Internal function that is executed in background thread\n"
     "        Args:\n"
     "            data,\n"
     "            redis_key:\n"
     "        Returns:\n"
     "\n"
     "        ",
     write_impl},
    {"write_zarn_data", kWriteZarnData, "bool",
     "\n"
     "        Write video frame to the target redis key. If data is None, deletes the key.\n"
     "        Args:\n"
     "                data: Data dict to write, or None to delete the key.\n"
     "                redis_key(str): Target redis key.\n"
     "                ttl(int): Optional time-to-live in seconds.\n"
     "        ",
     write_zarn_data_impl},
    {"delete_data", kKey, "bool",
     "Delete data from the target redis location\n"
     "\n"
     "        Args:\n"
     "            redis_key(str): Target redis key.\n"
     "        ",
     delete_data_impl, "return True if self._redis_client.delete(redis_key) else False"},
    {"delete_many", kKeys, "int",
     "Delete multiple keys in a single Redis command.\n"
     "\n"
     "        Args:\n"
     "            redis_keys(list): List of Redis keys to delete.\n"
     "\n"
     "        Returns:\n"
     "            int: Number of keys that were deleted.\n"
     "        ",
     delete_many_impl},
    {"scan_keys", kPattern, "list",
     "Return all existing keys matching a glob pattern using SCAN (non-blocking).\n"
     "\n"
     "        Args:\n"
     "            pattern(str): Redis glob pattern, e.g. ``'redis_<node_id>_*'``.\n"
     "\n"
     "        Returns:\n"
     "            list: List of matching key strings.\n"
     "        ",
     scan_keys_impl},
    {"write_data", kWriteData, "bool",
     "Write data to the target redis location\n"
     "\n"
     "        Args:\n"
     "            redis_key(str): Target redis key.\n"
     "            data(str): Data to be written.\n"
     "        ",
     write_data_impl},
    {"read_data", kKey, "Any",
     "Read data from the target redis location\n"
     "\n"
     "        Args:\n"
     "            redis_key(str): Target redis key.\n"
     "        ",
     read_data_impl, "return self._redis_client.get(redis_key)"},
    {"read_zarn_data", kKey, nullptr,
     "Read video frame from a given redis key\n"
     "\n"
     "        Args:\n"
     "            redis_key(str): Target redis key.\n"
     "        ",
     read_zarn_data_impl},
};

static_assert(std::size(kMethods) == kMethodCount);

constexpr bool names_row(Sibling s, std::string_view name) {
    return kMethods[static_cast<size_t>(s)].name == name;
}
static_assert(names_row(Sibling::write_, "_write_") &&
              names_row(Sibling::delete_data, "delete_data") &&
              names_row(Sibling::read_data, "read_data"));

}  // namespace

std::span<const MethodDef> class_table() { return kMethods; }

Ref default_value(Default d, PyObject* host_default) {
    switch (d) {
        case D::none: return Ref::borrow(Py_None);
        case D::true_: return Ref::borrow(Py_True);
        case D::host: return Ref::borrow(host_default);
        case D::int_6379: return Ref::check(PyLong_FromLong(6379));
        case D::int_2: return Ref::check(PyLong_FromLong(2));
        case D::required: break;
    }
    return Ref::borrow(Py_None);
}

Ref build_class(PyObject* module, PyObject* host_default) {
    Ref qualname = Ref::check(PyUnicode_InternFromString("RedisWrapper"));
    Ref ns = Ref::check(PyDict_New());
    Ref module_name = Ref::check(PyModule_GetNameObject(module));
    check_int(PyDict_SetItemString(ns.get(), "__module__", module_name.get()));
    check_int(PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()));
    Ref doc = Ref::check(PyUnicode_FromString(kClassDoc));
    check_int(PyDict_SetItemString(ns.get(), "__doc__", doc.get()));
    Ref functions = make_functions(module, qualname.get(), host_default);
    for (size_t i = 0; i < kMethodCount; ++i)
        check_int(PyDict_SetItemString(ns.get(), kMethods[i].name,
                                       PyTuple_GET_ITEM(functions.get(), static_cast<Py_ssize_t>(i))));
    Ref bases = Ref::check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), qualname.get(), bases.get(), ns.get());
}

}  // namespace zarn
