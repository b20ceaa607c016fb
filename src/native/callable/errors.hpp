// Python semantics for C++ bodies: raising exceptions, running code "inside
// an except block" so that new exceptions get the handled one as
// __context__, truth values, unpacking, and checked C-API results.
#pragma once

#include <nanobind/nanobind.h>

namespace kestrix::callable {

namespace nb = nanobind;

// Sets `type(message)` as the current error and throws it into C++.
[[noreturn]] void raise(PyObject *type, const char *message);
[[noreturn]] void raise(PyObject *type, nb::handle message);
// Raises an exception instance that was built by calling its class.
[[noreturn]] void raise_instance(nb::handle exc);

// Takes the raised exception (normalised, owned) out of the error state, and
// puts one back (stealing the reference).
PyObject *take_error();
void put_error(PyObject *exc);

// Takes the new reference a C-API call returned; a null one raises its error.
nb::object checked(PyObject *result);

// An exact int of any size, saturated to the range of long long.
long long saturate(nb::handle exact_int);

// `a, b, ... = value` for exactly n items, with the interpreter's messages.
nb::tuple unpack(nb::handle value, Py_ssize_t n);

// The truth value, as `if value:` computes it.
bool truth(nb::handle value);

// While alive, `exc` is the exception being handled (sys.exception()), so
// anything raised meanwhile carries it as __context__, as in an except block.
class Handling {
public:
    explicit Handling(nb::handle exc);
    ~Handling();
    Handling(const Handling &) = delete;
    Handling &operator=(const Handling &) = delete;

private:
    PyObject *previous_;
};

}  // namespace kestrix::callable
