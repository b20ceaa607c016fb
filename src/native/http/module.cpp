// kestrix.http: binds its dependencies as module globals, in order, then
// builds HttpRequestClient from the method table.
#include "callable/module.hpp"

#include <nanobind/nanobind.h>

#include "methods.hpp"

namespace nb = nanobind;
using namespace kestrix;

namespace {

const char *const default_user_agent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/150.0.0.0 Safari/537.36 Edg/150.0.0.0";

void bind_globals(nb::module_ &m) {
    nb::handle g = PyModule_GetDict(m.ptr());
    m.attr("time") = nb::module_::import_("time");
    m.attr("requests") = nb::module_::import_("requests");
    m.attr("ConnectionError") = callable::import_from(g, "requests.exceptions", "ConnectionError");
    m.attr("RequestException") = callable::import_from(g, "requests.exceptions", "RequestException");
    m.attr("DEFAULT_USER_AGENT") = nb::str(default_user_agent);
}

}  // namespace

KESTRIX_MODULE(http, m) {
    bind_globals(m);
    callable::init_function_type(m);

    nb::dict ns;
    ns["__module__"] = "kestrix.http";
    ns["__qualname__"] = "HttpRequestClient";
    ns["__doc__"] = "通用带指数退避重试的 HTTP 请求客户端";
    // Read now: rebinding the global later must not change the default.
    ns["__init__"] = callable::make_function(m, http::init_definition(m.attr("DEFAULT_USER_AGENT")));
    ns["_calc_backoff_wait"] =
        callable::static_method(callable::make_function(m, http::calc_backoff_wait_definition()));
    for (const callable::Definition *definition :
         {&http::request_definition(), &http::post_definition(), &http::get_definition()})
        ns[definition->name] = callable::make_function(m, *definition);

    m.attr("HttpRequestClient") = callable::make_class("HttpRequestClient", ns);
}
