// Per-module state: interned names, prebuilt keyword-name tuples and constants, and the
// method object type. Everything lives in one array so that traverse/clear is one loop.
#pragma once

#include "py.hpp"

namespace zarn {

// Interned strings: X(identifier, text).
#define ZARN_NAMES(X)                               \
    X(orjson, "orjson")                             \
    X(os, "os")                                     \
    X(threading, "threading")                       \
    X(atexit, "atexit")                             \
    X(queue, "queue")                               \
    X(redis, "redis")                               \
    X(logger, "logger")                             \
    X(dumps, "dumps")                               \
    X(loads, "loads")                               \
    X(set, "set")                                   \
    X(get, "get")                                   \
    X(delete_, "delete")                            \
    X(scan_iter, "scan_iter")                       \
    X(decode, "decode")                             \
    X(ConnectionPool, "ConnectionPool")             \
    X(StrictRedis, "StrictRedis")                   \
    X(Queue, "Queue")                               \
    X(Thread, "Thread")                             \
    X(Event, "Event")                               \
    X(register_, "register")                        \
    X(start, "start")                               \
    X(join, "join")                                 \
    X(is_set, "is_set")                             \
    X(put_nowait, "put_nowait")                     \
    X(get_nowait, "get_nowait")                     \
    X(task_done, "task_done")                       \
    X(Empty, "Empty")                               \
    X(Full, "Full")                                 \
    X(error, "error")                               \
    X(warning, "warning")                           \
    X(_redis_client, "_redis_client")               \
    X(_use_thread, "_use_thread")                   \
    X(_queue, "_queue")                             \
    X(_stop_evt, "_stop_evt")                       \
    X(_worker, "_worker")                           \
    X(_worker_loop, "_worker_loop")                 \
    X(_write_, "_write_")                           \
    X(_shutdown_executor, "_shutdown_executor")     \
    X(delete_data, "delete_data")                   \
    X(read_data, "read_data")                       \
    X(worker_name, "RedisWrapperWorker")            \
    X(not_empty, "not_empty")                       \
    X(not_full, "not_full")                         \
    X(all_tasks_done, "all_tasks_done")             \
    X(unfinished_tasks, "unfinished_tasks")         \
    X(_qsize, "_qsize")                             \
    X(_get, "_get")                                 \
    X(_lock, "_lock")                               \
    X(_waiters, "_waiters")                         \
    X(_is_owned, "_is_owned")                       \
    X(_flag, "_flag")                               \
    X(notify, "notify")                             \
    X(popleft, "popleft")                           \
    X(acquire, "acquire")                           \
    X(release, "release")                           \
    X(dunder_enter, "__enter__")                    \
    X(dunder_exit, "__exit__")                      \
    X(put, "put")                                   \
    X(_put, "_put")                                 \
    X(maxsize, "maxsize")                           \
    X(append, "append")                             \
    X(notify_all, "notify_all")

// Keyword-name tuples: X(identifier, names...).
#define ZARN_KWNAMES(X)                                                    \
    X(kw_ex, "ex")                                                         \
    X(kw_timeout, "timeout")                                               \
    X(kw_maxsize, "maxsize")                                               \
    X(kw_match, "match")                                                   \
    X(kw_redis_key, "redis_key")                                           \
    X(kw_connection_pool, "connection_pool")                               \
    X(kw_pool, "host", "port", "max_connections", "decode_responses")      \
    X(kw_thread, "target", "name", "daemon")

// The standard library's own queue and event methods and types, captured at import for the
// queue shortcuts (std_sync.cpp); each stays NULL when it could not be vouched for.
#define ZARN_CAPTURED(X)   \
    X(std_queue_get)       \
    X(std_queue_task_done) \
    X(std_queue_qsize)     \
    X(std_queue_get_)      \
    X(std_queue_get_nowait) \
    X(std_queue_put_nowait) \
    X(std_queue_put)       \
    X(std_queue_put_)      \
    X(std_cond_enter)      \
    X(std_cond_exit)       \
    X(std_cond_notify)     \
    X(std_cond_notify_all) \
    X(std_cond_is_owned)   \
    X(std_event_is_set)    \
    X(std_lock_type)       \
    X(std_deque_type)

// Other constants: X(identifier).
#define ZARN_CONSTS(X) \
    X(int_1)           \
    X(int_5)           \
    X(int_10)          \
    X(float_0_2)       \
    X(float_0_5)

enum Key : unsigned {
#define ZARN_KEY(id, ...) id,
    ZARN_NAMES(ZARN_KEY) ZARN_KWNAMES(ZARN_KEY) ZARN_CONSTS(ZARN_KEY)
    ZARN_CAPTURED(ZARN_KEY)
#undef ZARN_KEY
    key_count
};

// The captured entries are the last ones: [first_captured, key_count).
inline constexpr unsigned first_captured = std_queue_get;

struct State {
    PyObject* objects[key_count];
    PyTypeObject* method_type;

    PyObject* operator[](Key k) const { return objects[k]; }
};

inline State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

// Fills the state's objects; false with an exception set on failure.
bool state_init(State& st);
int state_traverse(State& st, visitproc visit, void* arg);
void state_clear(State& st);

// The module-level binding `name`, looked up now (NameError when unbound).
Ref module_global(PyObject* module, PyObject* name);

}  // namespace zarn
