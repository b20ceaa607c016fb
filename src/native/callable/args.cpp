#include "args.hpp"

#include "errors.hpp"

namespace kestrix::callable {

namespace {

const char *const subclass_note =
    "Subclasses of built-in types are not accepted here; pass an instance of the "
    "built-in type itself.";

// int() of a number; anything without a numeric conversion is rejected by
// name rather than with int()'s own message, so "5" does not sneak through.
PyObject *to_int(const char *name, PyObject *value) {
    if (PyLong_CheckExact(value)) {
        Py_INCREF(value);
        return value;
    }
    PyNumberMethods *num = Py_TYPE(value)->tp_as_number;
    if (num && (num->nb_int || num->nb_index)) return PyNumber_Long(value);
    if (num && num->nb_float) {
        PyObject *f = PyNumber_Float(value);
        if (!f) return nullptr;
        PyObject *r = PyNumber_Long(f);
        Py_DECREF(f);
        return r;
    }
    set_incorrect_type(name, &PyLong_Type, value);
    return nullptr;
}

PyObject *to_float(PyObject *value) {
    if (PyFloat_CheckExact(value)) {
        Py_INCREF(value);
        return value;
    }
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(d);
}

PyObject *convert(const Param &p, PyObject *value) {
    switch (p.rule) {
        case Rule::Int: return to_int(p.name, value);
        case Rule::IntOrNone:
            if (value == Py_None) return Py_NewRef(Py_None);
            return to_int(p.name, value);
        case Rule::Float: return to_float(value);
        case Rule::Bool: {
            int truth = PyObject_IsTrue(value);
            if (truth < 0) return nullptr;
            return PyBool_FromLong(truth);
        }
        default: return Py_NewRef(value);
    }
}

bool check(const Param &p, PyObject *value) {
    PyTypeObject *expected = nullptr;
    bool ok = true;
    switch (p.rule) {
        case Rule::Str:
            expected = &PyUnicode_Type;
            ok = PyUnicode_CheckExact(value);
            break;
        case Rule::ListOrNone:
            expected = &PyList_Type;
            ok = value == Py_None || PyList_CheckExact(value);
            break;
        case Rule::DictOrNone:
            expected = &PyDict_Type;
            ok = value == Py_None || PyDict_CheckExact(value);
            break;
        default: return true;
    }
    if (!ok) set_incorrect_type(p.name, expected, value);
    return ok;
}

}  // namespace

void set_incorrect_type(const char *name, PyTypeObject *expected, PyObject *value) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected->tp_name, Py_TYPE(value)->tp_name);
    if (!PyObject_TypeCheck(value, expected)) return;
    PyObject *exc = take_error();
    PyObject *r = PyObject_CallMethod(exc, "add_note", "s", subclass_note);
    Py_XDECREF(r);
    if (!r) PyErr_Clear();  // keep the TypeError even if the note could not be added
    put_error(exc);
}

bool apply_rules(const Definition &definition, PyObject **values) {
    const std::size_t n = definition.params.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Rule r = definition.params[i].rule;
        if (r != Rule::Int && r != Rule::IntOrNone && r != Rule::Float && r != Rule::Bool) continue;
        PyObject *converted = convert(definition.params[i], values[i]);
        if (!converted) return false;
        Py_SETREF(values[i], converted);
    }
    for (std::size_t i = 0; i < n; ++i)
        if (!check(definition.params[i], values[i])) return false;
    return true;
}

}  // namespace kestrix::callable
