// Plain values: store a text or a dictionary (as compact JSON) under a key with an optional
// expiry, and read the stored bytes back. Nothing is caught or logged here.
#include "class_table.hpp"

namespace zarn {

// write_data(self, redis_key, data, ttl=None) -> bool: SET key value EX ttl; dictionaries
// (and their subclasses) are encoded with orjson, anything else goes to the client as is.
Ref write_data_impl(const Call& c) {
    PyObject* key = c[0];
    PyObject* data = c[1];
    PyObject* ttl = c[2];
    Ref client = getattr(c.self(), c.st[_redis_client]);
    Ref set_value = getattr(client.get(), c.st[Key::set]);
    Ref encoded;
    if (PyDict_Check(data)) {
        Ref dumps = getattr(c.global(orjson).get(), c.st[Key::dumps]);
        encoded = call(dumps.get(), nullptr, data);
        data = encoded.get();
    }
    Ref reply = call(set_value.get(), c.st[kw_ex], key, data, ttl);
    return Ref::borrow(truth(reply.get()) ? Py_True : Py_False);
}

// read_data(self, redis_key) -> Any: the client's reply to GET, unchanged.
Ref read_data_impl(const Call& c) {
    Ref client = getattr(c.self(), c.st[_redis_client]);
    return call_method(client.get(), c.st[Key::get], nullptr, c[0]);
}

}  // namespace zarn
