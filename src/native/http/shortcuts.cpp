// HttpRequestClient.get and post: fix the method and forward everything to
// self.request by keyword, so a subclass's request is used.
#include "methods.hpp"

namespace kestrix::http {

namespace {

// The shortcut's own keywords, then its extras; a repeated key fails before
// anything is sent, as a duplicated keyword in a Python call would.
nb::object forward(Call &call, nb::dict keywords) {
    nb::handle self = call.arg(0);
    nb::object request = self.attr("request");
    for (auto [key, value] : call.kwargs()) {
        if (keywords.contains(key)) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "function", key.ptr());
            throw nb::python_error();
        }
        keywords[key] = value;
    }
    return callable::checked(PyObject_Call(request.ptr(), nb::tuple().ptr(), keywords.ptr()));
}

nb::object get(Call &call) {
    nb::dict keywords;
    keywords["method"] = "GET";
    keywords["url"] = call.arg(1);
    keywords["headers"] = call.arg(3);
    keywords["params"] = call.arg(2);
    keywords["timeout"] = call.arg(4);
    return forward(call, keywords);
}

nb::object post(Call &call) {
    nb::dict keywords;
    keywords["method"] = "POST";
    keywords["url"] = call.arg(1);
    keywords["headers"] = call.arg(4);
    keywords["json"] = call.arg(2);
    keywords["data"] = call.arg(3);
    keywords["timeout"] = call.arg(5);
    return forward(call, keywords);
}

}  // namespace

const Definition &post_definition() {
    static const Definition definition{
        "post",
        "HttpRequestClient.post",
        {
            {"self"},
            {"url", Rule::Str, "str"},
            {"json", Rule::DictOrNone, "dict", Default::none()},
            {"data", Rule::DictOrNone, "dict", Default::none()},
            {"headers", Rule::DictOrNone, "dict", Default::none()},
            {"timeout", Rule::Any, nullptr, Default::none()},
        },
        "kwargs",
        nullptr,
        "requests.Response",
        "POST 请求快捷方法",
        post,
    };
    return definition;
}

const Definition &get_definition() {
    static const Definition definition{
        "get",
        "HttpRequestClient.get",
        {
            {"self"},
            {"url", Rule::Str, "str"},
            {"params", Rule::DictOrNone, "dict", Default::none()},
            {"headers", Rule::DictOrNone, "dict", Default::none()},
            {"timeout", Rule::IntOrNone, "int", Default::none()},
        },
        "kwargs",
        nullptr,
        "requests.Response",
        "GET 请求快捷方法",
        get,
    };
    return definition;
}

}  // namespace kestrix::http
