// Shortcuts for queue.Queue put_nowait/get/get_nowait/task_done and threading.Event.is_set
// (see std_sync.hpp).
#include "std_sync.hpp"

#include <initializer_list>

namespace zarn {
namespace {

// cls.<name> when it is a plain Python function defined in the module `home`, else NULL
// (a class patched before this module was imported is not vouched for).
PyObject* standard_function(PyObject* cls, const char* name, const char* home) {
    Ref f = Ref::steal(PyObject_GetAttrString(cls, name));
    if (!f || !PyFunction_Check(f.get())) return nullptr;
    PyObject* where = PyFunction_GetModule(f.get());
    if (!where || !PyUnicode_Check(where) || PyUnicode_CompareWithASCIIString(where, home) != 0)
        return nullptr;
    return f.release_to_caller();
}

PyObject* attribute_of(const char* module, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    return mod ? PyObject_GetAttrString(mod.get(), name) : nullptr;
}

// True when `obj.<name>(...)` would call `expected`: found on the type, not shadowed by
// the instance. A failed lookup declines; the real call then meets the same failure.
bool resolves_to(PyObject* obj, PyObject* name, PyObject* expected) {
    PyObject* found = nullptr;
    int unbound = _PyObject_GetMethod(obj, name, &found);
    if (!found) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(found);
    return unbound == 1 && found == expected;
}

// obj.<name>, or an empty Ref (error cleared) when it cannot be read.
Ref read(PyObject* obj, PyObject* name) {
    PyObject* v = PyObject_GetAttr(obj, name);
    if (!v) PyErr_Clear();
    return Ref::steal(v);
}

// True when `obj` is exactly the captured type `type` (NULL never is).
bool is_exactly(const State& st, PyObject* obj, Key type) {
    return obj && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(st[type]);
}

// The value of an exact int that fits a long long; nullopt otherwise (or for NULL).
std::optional<long long> exact_int(PyObject* obj) {
    if (!obj || !PyLong_CheckExact(obj)) return std::nullopt;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) return std::nullopt;
    return v;
}

// True when the `with` statement would call `expected` as cond.<name>: special methods are
// looked up on the type only.
bool special_is(PyObject* cond, PyObject* name, PyObject* expected) {
    return _PyType_Lookup(Py_TYPE(cond), name) == expected;
}

// The plain lock of a standard Condition, whose `with` block is lock.acquire() ...
// lock.release(); an empty Ref when `cond` is anything else.
Ref condition_lock(const State& st, PyObject* cond) {
    if (!special_is(cond, st[dunder_enter], st[std_cond_enter]) ||
        !special_is(cond, st[dunder_exit], st[std_cond_exit]))
        return {};
    Ref lock = read(cond, st[_lock]);
    return is_exactly(st, lock.get(), std_lock_type) ? std::move(lock) : Ref();
}

// A method and the standard function it must resolve to.
struct Vouch {
    Key name;
    Key standard;
};

// The plain lock under q.<condition> when each of `methods` resolves on q to its standard
// function and the condition is a standard one; else an empty Ref.
Ref lock_if_standard(const State& st, PyObject* q, std::initializer_list<Vouch> methods,
                     Key condition) {
    for (const Vouch& m : methods)
        if (!st[m.standard] || !resolves_to(q, st[m.name], st[m.standard])) return {};
    Ref cond = read(q, st[condition]);
    return cond ? condition_lock(st, cond.get()) : Ref();
}

// Holds a plain lock for one scope, as a `with` block on its Condition does. acquire()
// lets the GIL go while it waits, so a producer holding the lock can finish.
class Held {
public:
    Held(const State& st, PyObject* lock) : st_(st), lock_(lock) {
        call_method(lock_, st_[acquire], nullptr);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
        if (!may_touch_objects()) return;
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        Ref done = try_call_method(lock_, st_[release], nullptr);
        if (!done) PyErr_WriteUnraisable(lock_);
        PyErr_Restore(t, v, tb);
    }

private:
    const State& st_;
    PyObject* lock_;
};

// True when cond.notify() (or cond.notify_all(), with `all`) would find nobody waiting
// and so do nothing: a standard Condition on `lock`, which this thread holds, with an
// empty waiter list.
bool nobody_waits(const State& st, PyObject* cond, PyObject* lock, bool all = false) {
    if ((all && !resolves_to(cond, st[notify_all], st[std_cond_notify_all])) ||
        !resolves_to(cond, st[notify], st[std_cond_notify]) ||
        !resolves_to(cond, st[_is_owned], st[std_cond_is_owned]))
        return false;
    Ref own = read(cond, st[_lock]);
    Ref waiters = read(cond, st[_waiters]);
    return own.get() == lock && is_exactly(st, waiters.get(), std_deque_type) &&
           PyObject_Size(waiters.get()) == 0;
}

}  // namespace

void capture_std_sync(State& st) {
    Ref queue_cls = Ref::steal(attribute_of("queue", "Queue"));
    Ref cond_cls = Ref::steal(attribute_of("threading", "Condition"));
    Ref event_cls = Ref::steal(attribute_of("threading", "Event"));
    PyErr_Clear();
    struct Source {
        Key key;
        PyObject* cls;
        const char* name;
        const char* home;
    };
    const Source sources[] = {
        {std_queue_get, queue_cls.get(), "get", "queue"},
        {std_queue_task_done, queue_cls.get(), "task_done", "queue"},
        {std_queue_qsize, queue_cls.get(), "_qsize", "queue"},
        {std_queue_get_, queue_cls.get(), "_get", "queue"},
        {std_queue_get_nowait, queue_cls.get(), "get_nowait", "queue"},
        {std_queue_put_nowait, queue_cls.get(), "put_nowait", "queue"},
        {std_queue_put, queue_cls.get(), "put", "queue"},
        {std_queue_put_, queue_cls.get(), "_put", "queue"},
        {std_cond_enter, cond_cls.get(), "__enter__", "threading"},
        {std_cond_exit, cond_cls.get(), "__exit__", "threading"},
        {std_cond_notify, cond_cls.get(), "notify", "threading"},
        {std_cond_notify_all, cond_cls.get(), "notify_all", "threading"},
        {std_cond_is_owned, cond_cls.get(), "_is_owned", "threading"},
        {std_event_is_set, event_cls.get(), "is_set", "threading"},
    };
    for (const Source& s : sources)
        st.objects[s.key] = s.cls ? standard_function(s.cls, s.name, s.home) : nullptr;
    st.objects[std_lock_type] = attribute_of("_thread", "LockType");
    st.objects[std_deque_type] = attribute_of("_collections", "deque");
    PyErr_Clear();
    // One missing piece turns every shortcut off.
    for (unsigned k = first_captured; k < key_count; ++k)
        if (!st.objects[k]) {
            for (unsigned j = first_captured; j < key_count; ++j) Py_CLEAR(st.objects[j]);
            return;
        }
}

std::optional<Ref> take_waiting_item(const State& st, PyObject* q, Key via) {
    // get_nowait() is get(False); get() reaches _qsize() and _get().
    if (via == get_nowait &&
        (!st[std_queue_get_nowait] || !resolves_to(q, st[via], st[std_queue_get_nowait])))
        return std::nullopt;
    Ref lock = lock_if_standard(
        st, q, {{get, std_queue_get}, {_qsize, std_queue_qsize}, {_get, std_queue_get_}},
        Key::not_empty);
    if (!lock) return std::nullopt;
    try {
        Held held(st, lock.get());
        // _qsize() and _get() are len() and popleft() of the deque in q.queue.
        Ref items = getattr(q, st[Key::queue]);
        if (!is_exactly(st, items.get(), std_deque_type) || PyObject_Size(items.get()) == 0)
            return std::nullopt;
        Ref item = call_method(items.get(), st[popleft], nullptr);
        Ref not_full = getattr(q, st[Key::not_full]);
        if (!nobody_waits(st, not_full.get(), lock.get()))
            call_method(not_full.get(), st[notify], nullptr);
        return item;
    } catch (PyErrorSet&) {
        return Ref();
    }
}

Offer offer_item(const State& st, PyObject* q, PyObject* item, PyObject** full_class) {
    // put_nowait() is put(item, False), which reaches _qsize() and _put().
    Ref lock = lock_if_standard(st, q,
                                {{put_nowait, std_queue_put_nowait},
                                 {put, std_queue_put},
                                 {_qsize, std_queue_qsize},
                                 {_put, std_queue_put_}},
                                Key::not_full);
    if (!lock) return Offer::declined;
    Held held(st, lock.get());
    // Everything the put reads, read before anything changes, so that declining leaves
    // the queue as it was.
    Ref items = read(q, st[Key::queue]);
    Ref capacity = read(q, st[Key::maxsize]);
    Ref unfinished = read(q, st[Key::unfinished_tasks]);
    Ref not_empty = read(q, st[Key::not_empty]);
    const std::optional<long long> cap = exact_int(capacity.get());
    if (!is_exactly(st, items.get(), std_deque_type) || !cap ||
        !exact_int(unfinished.get()) || !not_empty)
        return Offer::declined;
    if (*cap > 0 && PyObject_Size(items.get()) >= *cap) {
        // The class that `raise Full` in the queue module would raise now.
        PyObject* cls = PyDict_GetItemWithError(PyFunction_GetGlobals(st[std_queue_put]), st[Full]);
        if (!cls || !PyExceptionClass_Check(cls) ||
            PyObject_IsSubclass(cls, PyExc_Exception) != 1) {
            PyErr_Clear();
            return Offer::declined;
        }
        *full_class = cls;
        return Offer::full;
    }
    call_method(items.get(), st[append], nullptr, item);
    Ref more = Ref::check(PyNumber_Add(unfinished.get(), st[int_1]));
    setattr(q, st[Key::unfinished_tasks], more.get());
    if (!nobody_waits(st, not_empty.get(), lock.get()))
        call_method(not_empty.get(), st[notify], nullptr);
    return Offer::queued;
}

bool count_down_task(const State& st, PyObject* q) {
    Ref lock = lock_if_standard(st, q, {{task_done, std_queue_task_done}}, all_tasks_done);
    if (!lock) return false;
    Held held(st, lock.get());
    Ref unfinished = read(q, st[Key::unfinished_tasks]);
    const std::optional<long long> count = exact_int(unfinished.get());
    // Below one the real call refuses; at one it wakes join()'s waiters (notify_all()),
    // which is left to it unless nobody waits.
    if (!count || *count < 1) return false;
    if (*count == 1) {
        Ref cond = read(q, st[all_tasks_done]);
        if (!cond || !nobody_waits(st, cond.get(), lock.get(), true)) return false;
    }
    Ref less = Ref::check(PyLong_FromLongLong(*count - 1));
    setattr(q, st[Key::unfinished_tasks], less.get());
    return true;
}

std::optional<bool> event_flag(const State& st, PyObject* ev) {
    if (!st[std_event_is_set] || !resolves_to(ev, st[is_set], st[std_event_is_set]))
        return std::nullopt;
    Ref flag = read(ev, st[_flag]);
    if (flag.get() == Py_True) return true;
    if (flag.get() == Py_False) return false;
    return std::nullopt;
}

}  // namespace zarn
