// HttpRequestClient.__init__: the four configuration attributes and the
// session carrying the User-Agent.
#include "methods.hpp"

namespace kestrix::http {

namespace {

nb::object init(Call &call) {
    nb::handle self = call.arg(0);
    // Attribute order is part of the surface: vars(client) lists them so.
    self.attr("max_retries") = call.arg(1);
    self.attr("base_timeout") = call.arg(2);
    self.attr("verify_ssl") = call.arg(3);
    self.attr("session") = call.global("requests").attr("Session")();
    nb::object headers = self.attr("session").attr("headers");
    headers["User-Agent"] = call.arg(4);
    return nb::none();
}

const char *const init_doc =
    "\n"
    "        :param max_retries: 最大重试次数\n"
    "        :param base_timeout: 默认请求超时时间(秒)\n"
    "        :param verify_ssl: 是否校验 SSL 证书\n"
    "        :param user_agent: 自定义 User-Agent\n"
    "        ";

}  // namespace

const Definition &init_definition(nb::handle user_agent) {
    static Definition definition{
        "__init__",
        "HttpRequestClient.__init__",
        {
            {"self"},
            {"max_retries", Rule::Int, "int", Default::integer(3)},
            {"base_timeout", Rule::Int, "int", Default::integer(300)},
            {"verify_ssl", Rule::Bool, "bool", Default::object(Py_False)},
            {"user_agent", Rule::Str, "str", Default::object(user_agent)},
        },
        nullptr,
        nullptr,
        nullptr,
        init_doc,
        init,
    };
    // Borrowed and read only while the function is made (the function then
    // owns it through its defaults); refreshed for every module instance.
    definition.params[4].value = Default::object(user_agent);
    return definition;
}

}  // namespace kestrix::http
