// Operations not available yet: each raises NotImplementedError naming the method.
#include "class_table.hpp"

namespace zarn {
namespace {

Ref not_available(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "RedisWrapper.%s is not available yet", name);
    raise();
}

}  // namespace

Ref write_zarn_data_impl(const Call&) { return not_available("write_zarn_data"); }
Ref read_zarn_data_impl(const Call&) { return not_available("read_zarn_data"); }
Ref delete_data_impl(const Call&) { return not_available("delete_data"); }
Ref delete_many_impl(const Call&) { return not_available("delete_many"); }
Ref scan_keys_impl(const Call&) { return not_available("scan_keys"); }
Ref write_data_impl(const Call&) { return not_available("write_data"); }
Ref read_data_impl(const Call&) { return not_available("read_data"); }

}  // namespace zarn
