// Per-module state: interned names, keyword-name tuples, a few numbers and the sibling
// methods, each under its own name (st.name.dumps, st.kw.ex, st.num.take_timeout).
#pragma once

#include "py.hpp"

#include <iterator>

namespace zarn {

// Interned strings: X(member, text).
#define ZARN_NAMES(X)                           \
    X(orjson, "orjson")                         \
    X(threading, "threading")                   \
    X(atexit, "atexit")                         \
    X(queue, "queue")                           \
    X(redis, "redis")                           \
    X(logger, "logger")                         \
    X(dumps, "dumps")                           \
    X(loads, "loads")                           \
    X(set, "set")                               \
    X(get, "get")                               \
    X(delete_, "delete")                        \
    X(scan_iter, "scan_iter")                   \
    X(decode, "decode")                         \
    X(ConnectionPool, "ConnectionPool")         \
    X(StrictRedis, "StrictRedis")               \
    X(Queue, "Queue")                           \
    X(Thread, "Thread")                         \
    X(Event, "Event")                           \
    X(register_, "register")                    \
    X(start, "start")                           \
    X(join, "join")                             \
    X(is_set, "is_set")                         \
    X(put_nowait, "put_nowait")                 \
    X(get_nowait, "get_nowait")                 \
    X(task_done, "task_done")                   \
    X(Empty, "Empty")                           \
    X(Full, "Full")                             \
    X(error, "error")                           \
    X(warning, "warning")                       \
    X(_redis_client, "_redis_client")           \
    X(_use_thread, "_use_thread")               \
    X(_queue, "_queue")                         \
    X(_stop_evt, "_stop_evt")                   \
    X(_worker, "_worker")                       \
    X(_worker_loop, "_worker_loop")             \
    X(_shutdown_executor, "_shutdown_executor") \
    X(worker_name, "RedisWrapperWorker")

// Keyword-name tuples: X(member, names...); each is a KwNames<number of names>.
#define ZARN_KWNAMES(X)                                               \
    X(ex, "ex")                                                       \
    X(timeout, "timeout")                                             \
    X(maxsize, "maxsize")                                             \
    X(match, "match")                                                 \
    X(redis_key, "redis_key")                                         \
    X(connection_pool, "connection_pool")                             \
    X(pool, "host", "port", "max_connections", "decode_responses")    \
    X(thread, "target", "name", "daemon")

// The methods that one method calls on its own instance (try_call_sibling), and their rows
// in the class table.
enum class Sibling : unsigned char { write_, delete_data, read_data };
inline constexpr size_t kSiblingRow[] = {3, 5, 9};

template <typename... T>
constexpr size_t count_of(T...) {
    return sizeof...(T);
}

struct State {
    struct {
#define ZARN_MEMBER(id, text) PyObject* id;
        ZARN_NAMES(ZARN_MEMBER)
#undef ZARN_MEMBER
    } name;
    struct {
#define ZARN_MEMBER(id, ...) KwNames<count_of(__VA_ARGS__)> id;
        ZARN_KWNAMES(ZARN_MEMBER)
#undef ZARN_MEMBER
    } kw;
    struct {
        PyObject* one;           // least queue capacity
        PyObject* five;          // pool connections per worker
        PyObject* ten;           // least pool size
        PyObject* take_timeout;  // the worker's wait for an item, 0.2 s
        PyObject* join_timeout;  // the shutdown's wait for the worker, 0.5 s
    } num;
    // The siblings' names and functions as the class was made: a sibling call runs the C++
    // body directly when the instance's attribute is still that function.
    PyObject* sibling_name[std::size(kSiblingRow)];
    PyObject* sibling[std::size(kSiblingRow)];

    // Calls f(PyObject*&) on every object the state holds (traverse, clear).
    template <typename F>
    void for_each(F&& f) {
#define ZARN_VISIT(id, ...) f(name.id);
        ZARN_NAMES(ZARN_VISIT)
#undef ZARN_VISIT
#define ZARN_VISIT(id, ...) f(kw.id.tuple);
        ZARN_KWNAMES(ZARN_VISIT)
#undef ZARN_VISIT
        for (PyObject** n : {&num.one, &num.five, &num.ten, &num.take_timeout, &num.join_timeout})
            f(*n);
        for (size_t i = 0; i < std::size(kSiblingRow); ++i) f(sibling_name[i]), f(sibling[i]);
    }
};

inline State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

// Fills the state's names, tuples and numbers; false with an exception set on failure.
bool state_init(State& st);

// The module-level binding `name`, looked up now (NameError when unbound).
Ref module_global(PyObject* module, PyObject* name);

}  // namespace zarn
