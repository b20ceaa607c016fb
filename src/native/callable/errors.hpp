// Raising Python exceptions from C++ bodies, and running code "inside an
// except block" so that new exceptions get the handled one as __context__.
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
