// Plain values and key housekeeping: store a text or a dictionary (as compact JSON) under a
// key with an optional expiry and read the stored bytes back, delete one key or a list of
// keys in one command, list the keys matching a glob pattern by incremental SCAN. Nothing is
// caught or logged here.
#include "class_table.hpp"

namespace zarn {

// write_data(self, redis_key, data, ttl=None) -> bool: SET key value EX ttl; dictionaries
// (and their subclasses) are encoded with orjson, anything else goes to the client as is.
Ref write_data_impl(const MethodCall& c) {
    const auto& name = c.st.name;
    PyObject* data = c[1];
    Ref client = getattr(c.self(), name._redis_client);
    Ref set_value = getattr(client.get(), name.set);
    Ref encoded;
    if (PyDict_Check(data)) {
        Ref dumps = getattr(c.global(name.orjson).get(), name.dumps);
        encoded = call(dumps.get(), data);
        data = encoded.get();
    }
    // Annotated "bool": the method's entry returns the reply's truth.
    return try_call(set_value.get(), c.st.kw.ex, c[0], data, c[2]);
}

// read_data(self, redis_key) -> Any: the client's reply to GET, unchanged.
Ref read_data_impl(const MethodCall& c) {
    Ref client = getattr(c.self(), c.st.name._redis_client);
    return try_call_method(client.get(), c.st.name.get, c[0]);
}

// delete_data(self, redis_key) -> bool: one DEL; True when the key existed.
Ref delete_data_impl(const MethodCall& c) {
    Ref client = getattr(c.self(), c.st.name._redis_client);
    // Annotated "bool": the method's entry returns the reply's truth.
    return try_call_method(client.get(), c.st.name.delete_, c[0]);
}

// delete_many(self, redis_keys) -> int: one DEL naming every key in list order (nothing
// sent for an empty list); the server's count of removed keys.
Ref delete_many_impl(const MethodCall& c) {
    PyObject* keys = c[0];
    if (PyList_GET_SIZE(keys) == 0) return Ref::check(PyLong_FromLong(0));
    // A snapshot of the list: another thread may change it while the command is sent.
    Ref args = Ref::check(PyList_AsTuple(keys));
    Ref client = getattr(c.self(), c.st.name._redis_client);
    Ref remove = getattr(client.get(), c.st.name.delete_);
    Ref reply = Ref::steal(PyObject_Vectorcall(remove.get(), &PyTuple_GET_ITEM(args.get(), 0),
                                               static_cast<size_t>(PyTuple_GET_SIZE(args.get())),
                                               nullptr));
    if (!reply) return reply;
    if (reply.get() != Py_None && !PyLong_CheckExact(reply.get())) {
        PyErr_Format(PyExc_TypeError, "Expected int, got %.200s", Py_TYPE(reply.get())->tp_name);
        raise();
    }
    return reply;
}

// scan_keys(self, pattern) -> list: every key SCAN reports for MATCH pattern, in order;
// byte keys decoded (strict UTF-8), other keys unchanged.
Ref scan_keys_impl(const MethodCall& c) {
    Ref result = Ref::check(PyList_New(0));
    Ref client = getattr(c.self(), c.st.name._redis_client);
    Ref keys = try_call_method(client.get(), c.st.name.scan_iter, c.st.kw.match, c[0]);
    if (!keys) return keys;
    Ref it = Ref::steal(PyObject_GetIter(keys.get()));
    if (!it) return it;
    while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
        if (PyBytes_Check(key.get())) key = call_method(key.get(), c.st.name.decode);
        check_int(PyList_Append(result.get(), key.get()));
    }
    // The scan's own failures (a connection error on a later page) end it here, unthrown.
    if (PyErr_Occurred()) return Ref();
    return result;
}

}  // namespace zarn
