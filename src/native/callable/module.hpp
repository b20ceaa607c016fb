// What both extension modules need to set themselves up: imports with the
// interpreter's own errors, class creation, and an init that reports the
// real failure.
#pragma once

#include <nanobind/nanobind.h>

namespace kestrix::callable {

namespace nb = nanobind;

// `from <module> import <name>` (relative to `globals`' package when level is
// 1), with the interpreter's own ImportError for a missing name.
nb::object import_from(nb::handle globals, const char *module, const char *name, int level = 0);

// staticmethod(func), which also copies the function's name and docstring.
nb::object static_method(nb::handle func);

// type(name, (), namespace): a plain class with no base but object.
nb::object make_class(const char *name, nb::handle namespace_);

// Wraps a nanobind module definition so that a failed initialisation raises
// the real error (a missing dependency's ModuleNotFoundError, say) rather
// than nanobind's generic ImportError around it.
PyObject *report_init_errors(PyObject *module_def);

}  // namespace kestrix::callable

// Like NB_MODULE, but the import fails with the error that stopped it.
#define KESTRIX_MODULE(name, variable)                                           \
    extern "C" PyObject *PyInit_##name##_shell(void);                            \
    extern "C" NB_EXPORT PyObject *PyInit_##name(void) {                         \
        return ::kestrix::callable::report_init_errors(PyInit_##name##_shell()); \
    }                                                                            \
    NB_MODULE(name##_shell, variable)
