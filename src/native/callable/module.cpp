#include "module.hpp"

#include "errors.hpp"

namespace kestrix::callable {

nb::object import_from(nb::handle globals, const char *module, const char *name, int level) {
    nb::object fromlist = nb::make_tuple(name);
    nb::object mod = nb::steal(PyImport_ImportModuleLevel(module, globals.ptr(), nullptr, fromlist.ptr(), level));
    if (!mod.is_valid()) throw nb::python_error();
    PyObject *value = PyObject_GetAttrString(mod.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        nb::object mod_name = nb::getattr(mod, "__name__", nb::str(module));
        nb::object path = nb::getattr(mod, "__file__", nb::none());
        if (!nb::isinstance<nb::str>(path)) path = nb::str("unknown location");
        PyErr_SetImportError(nb::str("cannot import name {!r} from {!r} ({})").format(name, mod_name, path).ptr(),
                             mod_name.ptr(), path.ptr());
        throw nb::python_error();
    }
    return nb::steal(value);
}

nb::object static_method(nb::handle func) {
    return nb::borrow(reinterpret_cast<PyObject *>(&PyStaticMethod_Type))(func);
}

nb::object make_class(const char *name, nb::handle namespace_) {
    return nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type))(name, nb::tuple(), namespace_);
}

namespace {

int (*shell_exec)(PyObject *) = nullptr;

// nanobind reports a failed initialisation as a new ImportError caused by the
// real failure; callers should see the real one.
void unwrap_init_error() {
    PyObject *exc = take_error();
    if (!exc) return;
    if (Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject *>(PyExc_ImportError))) {
        if (PyObject *cause = PyException_GetCause(exc)) {
            Py_DECREF(exc);
            exc = cause;
        }
    }
    put_error(exc);
}

int exec_module(PyObject *m) {
    if (shell_exec(m) == 0) return 0;
    unwrap_init_error();
    return -1;
}

}  // namespace

PyObject *report_init_errors(PyObject *def) {
    if (!def) {
        unwrap_init_error();
        return nullptr;
    }
    if (!PyObject_TypeCheck(def, &PyModuleDef_Type)) return def;  // single-phase: already initialised
    auto *module_def = reinterpret_cast<PyModuleDef *>(def);
    for (PyModuleDef_Slot *slot = module_def->m_slots; slot && slot->slot; ++slot) {
        if (slot->slot != Py_mod_exec || slot->value == reinterpret_cast<void *>(exec_module)) continue;
        shell_exec = reinterpret_cast<int (*)(PyObject *)>(slot->value);
        slot->value = reinterpret_cast<void *>(exec_module);
    }
    return def;
}

}  // namespace kestrix::callable
