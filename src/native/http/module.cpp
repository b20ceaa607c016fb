// kestrix.http: binds its dependencies as module globals, in order, then
// builds HttpRequestClient from the method table.
#include <nanobind/nanobind.h>

#include "methods.hpp"

namespace nb = nanobind;
using namespace kestrix;

namespace {

const char *const default_user_agent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/150.0.0.0 Safari/537.36 Edg/150.0.0.0";

// `from <module> import <name>`, with the interpreter's own ImportError.
nb::object import_from(const char *module, const char *name) {
    nb::object mod = nb::steal(PyImport_ImportModuleLevel(module, nullptr, nullptr, nb::make_tuple(name).ptr(), 0));
    if (!mod.is_valid()) throw nb::python_error();
    PyObject *value = PyObject_GetAttrString(mod.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        nb::object path = nb::getattr(mod, "__file__", nb::str("unknown location"));
        PyErr_SetImportError(nb::str("cannot import name '{}' from '{}' ({})").format(name, module, path).ptr(),
                             nb::str(module).ptr(), path.ptr());
        throw nb::python_error();
    }
    return nb::steal(value);
}

void bind_globals(nb::module_ &m) {
    m.attr("time") = nb::module_::import_("time");
    m.attr("requests") = nb::module_::import_("requests");
    m.attr("ConnectionError") = import_from("requests.exceptions", "ConnectionError");
    m.attr("RequestException") = import_from("requests.exceptions", "RequestException");
    m.attr("DEFAULT_USER_AGENT") = nb::str(default_user_agent);
}

}  // namespace

NB_MODULE(http, m) {
    bind_globals(m);
    callable::init_function_type(m);

    nb::dict ns;
    ns["__module__"] = "kestrix.http";
    ns["__qualname__"] = "HttpRequestClient";
    ns["__doc__"] = "通用带指数退避重试的 HTTP 请求客户端";
    // Read now: rebinding the global later must not change the default.
    ns["__init__"] = callable::make_function(m, http::init_definition(m.attr("DEFAULT_USER_AGENT")));
    nb::object staticmethod = nb::borrow(reinterpret_cast<PyObject *>(&PyStaticMethod_Type));
    ns["_calc_backoff_wait"] = staticmethod(callable::make_function(m, http::calc_backoff_wait_definition()));
    for (const callable::Definition *definition : {&http::request_definition(), &http::post_definition(), &http::get_definition()})
        ns[definition->name] = callable::make_function(m, *definition);

    nb::object type = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type));
    m.attr("HttpRequestClient") = type("HttpRequestClient", nb::tuple(), ns);
}
