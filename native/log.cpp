// The one way the module logs: a complete line built here, handed to the module's logger.
#include "class_table.hpp"

namespace zarn {

void log_failure(const MethodCall& c, PyObject* level, const char* before_key,
                 const char* after_key, PyObject* key, PyObject* error) {
    Ref text = Ref::check(PyObject_Str(error));
    Ref line = Ref::check(
        PyUnicode_FromFormat("%s%U%s%U", before_key, key, after_key, text.get()));
    call_method(c.global(c.st.name.logger).get(), level, line.get());
}

}  // namespace zarn
