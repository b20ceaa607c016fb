// The argument rules: conversions of numeric parameters, then exact-type
// checks, each failure a TypeError naming the argument.
#pragma once

#include "function.hpp"

namespace kestrix::callable {

// Applies the rules of `definition` to the bound arguments in place. `values` holds
// one owned reference per parameter. Returns false with a Python error set.
bool apply_rules(const Definition &definition, PyObject **values);

// The TypeError of a failed check (with a note for subclasses of `expected`).
void set_incorrect_type(const char *name, PyTypeObject *expected, PyObject *value);

}  // namespace kestrix::callable
