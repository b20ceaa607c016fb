#include "ops.hpp"

namespace kestrix::image {

void not_implemented(const char *qualname) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", qualname);
    throw nb::python_error();
}

}  // namespace kestrix::image
