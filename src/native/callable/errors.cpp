#include "errors.hpp"

#include <climits>

namespace kestrix::callable {

void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

void raise(PyObject *type, nb::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw nb::python_error();
}

void raise_instance(nb::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

PyObject *take_error() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

void put_error(PyObject *exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

nb::object checked(PyObject *result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

long long saturate(nb::handle exact_int) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(exact_int.ptr(), &overflow);
    if (overflow != 0) return overflow > 0 ? LLONG_MAX : LLONG_MIN;
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    return n;
}

nb::tuple unpack(nb::handle value, Py_ssize_t n) {
    nb::object items = checked(PySequence_Tuple(value.ptr()));
    const Py_ssize_t got = PyTuple_GET_SIZE(items.ptr());
    if (got > n) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        throw nb::python_error();
    }
    if (got < n) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, got);
        throw nb::python_error();
    }
    return nb::borrow<nb::tuple>(items);
}

bool truth(nb::handle value) {
    const int t = PyObject_IsTrue(value.ptr());
    if (t < 0) throw nb::python_error();
    return t != 0;
}

Handling::Handling(nb::handle exc) : previous_(PyErr_GetHandledException()) { PyErr_SetHandledException(exc.ptr()); }

// `previous_` may be an outer frame's: written back into a generator's own
// entry it would stay handled there after the caller's except block ends.
Handling::~Handling() {
    PyErr_SetHandledException(nullptr);
    PyObject *outer = PyErr_GetHandledException();
    if (outer != previous_) PyErr_SetHandledException(previous_);
    Py_XDECREF(outer);
    Py_XDECREF(previous_);
}

}  // namespace kestrix::callable
