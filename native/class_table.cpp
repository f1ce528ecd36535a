// The public face of RedisWrapper as one table: every method in definition order, with
// its parameters, defaults, annotations, docstring and body.
#include "class_table.hpp"

#include <string_view>

namespace zarn {

const char* const kClassDoc =
    "Represents a redis client specified for the containers.\n"
    "\n"
    "    Args:\n"
    "        thread(bool): Use threading or not\n"
    "        host(str): Redis server host\n"
    "        port(int): Redis server port\n"
    "    ";

namespace {

constexpr Param kInit[] = {
    {"thread", "bool", "True"},
    {"host", "str", "os.environ.get('REDIS_HOST', 'localhost')"},  // read once, at import
    {"port", "int", "6379"},
    {"workers", "int", "2"},
};
constexpr Param kWrite[] = {
    {"data", "dict"},
    {"redis_key", "str"},
    {"ttl", "Optional[int]", "None"},
};
constexpr Param kWriteZarnData[] = {
    {"data", "Optional[dict]"},
    {"redis_key", "str"},
    {"ttl", "Optional[int]", "None"},
};
constexpr Param kKey[] = {{"redis_key", "str"}};
constexpr Param kKeys[] = {{"redis_keys", "list"}};
constexpr Param kPattern[] = {{"pattern", "str"}};
constexpr Param kWriteData[] = {
    {"redis_key", "str"},
    {"data", "Union[str, dict]"},
    {"ttl", "Optional[int]", "None"},
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

static_assert(std::size(kMethods) == kMethodCount &&
              std::string_view(kMethods[kSiblingRow[0]].name) == "_write_" &&
              std::string_view(kMethods[kSiblingRow[1]].name) == "delete_data" &&
              std::string_view(kMethods[kSiblingRow[2]].name) == "read_data");

}  // namespace

std::span<const MethodDef> class_table() { return kMethods; }

}  // namespace zarn
