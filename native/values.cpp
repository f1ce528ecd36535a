// Plain values: store a text or a dictionary (as compact JSON) under a key with an optional
// expiry, and read the stored bytes back. Nothing is caught or logged here.
#include "class_table.hpp"

namespace zarn {

// write_data(self, redis_key, data, ttl=None) -> bool: SET key value EX ttl; dictionaries
// (and their subclasses) are encoded with orjson, anything else goes to the client as is.
Ref write_data_impl(const MethodCall& c) {
    const auto& name = c.st.name;
    PyObject* key = c[0];
    PyObject* data = c[1];
    PyObject* ttl = c[2];
    Ref client = getattr(c.self(), name._redis_client);
    Ref set_value = getattr(client.get(), name.set);
    Ref encoded;
    if (PyDict_Check(data)) {
        Ref dumps = getattr(c.global(name.orjson).get(), name.dumps);
        encoded = call(dumps.get(), data);
        data = encoded.get();
    }
    // Annotated "bool": the method's entry returns the reply's truth.
    return try_call(set_value.get(), c.st.kw.ex, key, data, ttl);
}

// read_data(self, redis_key) -> Any: the client's reply to GET, unchanged.
Ref read_data_impl(const MethodCall& c) {
    Ref client = getattr(c.self(), c.st.name._redis_client);
    return try_call_method(client.get(), c.st.name.get, c[0]);
}

}  // namespace zarn
