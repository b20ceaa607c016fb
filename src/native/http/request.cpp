// HttpRequestClient.request and _calc_backoff_wait: one request through the
// session, retried on connection failures with exponential back-off.
#include "methods.hpp"

namespace kestrix::http {

namespace {

// The number of attempts as range() reads it: __index__, so a float is
// rejected with range's own TypeError; an int too large to matter is
// "forever" and a negative one means none.
long long attempts_of(nb::handle max_retries) {
    return callable::saturate(callable::checked(PyNumber_Index(max_retries.ptr())));
}

// `except <handler>:` refuses what cannot be caught, as the interpreter does.
bool matches(nb::handle exc, nb::handle handler) {
    auto catchable = [](nb::handle h) {
        return PyType_Check(h.ptr()) && PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(h.ptr()),
                                                         reinterpret_cast<PyTypeObject *>(PyExc_BaseException));
    };
    bool ok = catchable(handler);
    if (!ok && PyTuple_Check(handler.ptr())) {
        ok = true;
        for (nb::handle item : nb::borrow<nb::tuple>(handler)) ok = ok && catchable(item);
    }
    if (!ok) callable::raise(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
    return PyErr_GivenExceptionMatches(exc.ptr(), handler.ptr()) != 0;
}

// The session's keywords in their fixed order, then the call's own extras.
nb::object send(Call &call, nb::handle self, nb::handle timeout, nb::dict kwargs) {
    nb::dict keywords;
    keywords["method"] = call.arg(1).attr("upper")();
    keywords["url"] = call.arg(2);
    keywords["headers"] = call.arg(3);
    keywords["params"] = call.arg(4);
    keywords["json"] = call.arg(5);
    keywords["data"] = call.arg(6);
    keywords["timeout"] = timeout;
    if (PyDict_Update(keywords.ptr(), kwargs.ptr()) < 0) throw nb::python_error();
    nb::object session_request = self.attr("session").attr("request");
    return callable::checked(PyObject_Call(session_request.ptr(), nb::tuple().ptr(), keywords.ptr()));
}

nb::object request(Call &call) {
    nb::handle self = call.arg(0);
    nb::object timeout = nb::borrow(call.arg(7));
    if (!callable::truth(timeout)) timeout = self.attr("base_timeout");
    nb::dict kwargs = call.kwargs();

    const long long attempts = attempts_of(self.attr("max_retries"));
    for (long long attempt = 0; attempt < attempts; ++attempt) {
        try {
            if (!kwargs.contains("verify")) kwargs["verify"] = self.attr("verify_ssl");
            return send(call, self, timeout, kwargs);
        } catch (nb::python_error &e) {
            // Everything from here on happens "inside the except block", so a
            // new error carries the connection error as its context.
            callable::Handling handling(e.value());
            if (!matches(e.value(), call.module_global("ConnectionError"))) throw;
            nb::int_ attempt_number(attempt);
            nb::object last = callable::checked(PyNumber_Subtract(self.attr("max_retries").ptr(), nb::int_(1).ptr()));
            if (attempt_number.equal(last))
                callable::raise_instance(call.module_global("RequestException")("Service connection error"));
            nb::object wait_sec = self.attr("_calc_backoff_wait")(attempt_number);
            call.module_global("time").attr("sleep")(wait_sec);
        }
    }
    return nb::none();
}

// 2 ** attempt with Python's power: an exact int from 0 up, a float below.
nb::object calc_backoff_wait(Call &call) {
    return callable::checked(PyNumber_Power(nb::int_(2).ptr(), call.arg(0).ptr(), Py_None));
}

}  // namespace

const Definition &request_definition() {
    static const Definition definition{
        "request",
        "HttpRequestClient.request",
        {
            {"self"},
            {"method", Rule::Str, "str"},
            {"url", Rule::Str, "str"},
            {"headers", Rule::DictOrNone, "dict", Default::none()},
            {"params", Rule::DictOrNone, "dict", Default::none()},
            {"json", Rule::DictOrNone, "dict", Default::none()},
            {"data", Rule::DictOrNone, "dict", Default::none()},
            {"timeout", Rule::Any, nullptr, Default::none()},
        },
        "kwargs",
        nullptr,
        "requests.Response",
        "通用请求入口",
        request,
    };
    return definition;
}

const Definition &calc_backoff_wait_definition() {
    static const Definition definition{
        "_calc_backoff_wait",
        "HttpRequestClient._calc_backoff_wait",
        {{"attempt", Rule::Int, "int"}},
        nullptr,
        nullptr,
        "float",
        "计算指数退避等待时间: 1s, 2s, 4s...",
        calc_backoff_wait,
    };
    return definition;
}

}  // namespace kestrix::http
