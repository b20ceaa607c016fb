// get_img_url_io / get_img_url_bytes: download with bounded retries and
// exponential back-off.
#include "ops.hpp"

namespace kestrix::image {

namespace {

// Every message goes through logger.error when the logger is truthy, else
// to print(), as the call's local `log` would.
void log(const Call &call, nb::handle logger, nb::handle message) {
    if (callable::truth(logger))
        logger.attr("error")(message);
    else
        call.global("print")(message);
}

// base_delay * 2 ** retry_count, with Python's float arithmetic.
nb::object backoff_delay(nb::handle base_delay, long long retry_count) {
    nb::object power = callable::checked(PyNumber_Power(nb::int_(2).ptr(), nb::int_(retry_count).ptr(), Py_None));
    return callable::checked(PyNumber_Multiply(base_delay.ptr(), power.ptr()));
}

// The str() of each part, joined; checked at every step.
nb::object concat(std::initializer_list<nb::handle> parts) {
    nb::object text = nb::str("");
    for (nb::handle part : parts) {
        text = callable::checked(PyUnicode_Concat(text.ptr(), nb::str(part).ptr()));
    }
    return text;
}

nb::object get_img_url_io(Call &call) {
    nb::handle url = call.arg(0), base_delay = call.arg(2), logger = call.arg(3);
    // An int too large to matter is "forever"; a negative one means no attempt.
    const long long max_retries = callable::saturate(call.arg(1));
    nb::dict kwargs = call.kwargs();
    nb::object timeout = kwargs.contains("timeout") ? nb::object(kwargs["timeout"]) : nb::int_(20);
    nb::object headers = kwargs.contains("headers") ? nb::object(kwargs["headers"]) : nb::none();

    for (long long retry_count = 0; retry_count < max_retries;) {
        nb::object img_io = call.global("BytesIO")();
        try {
            nb::object response = call.global("requests")
                                      .attr("get")(url, nb::arg("stream") = true, nb::arg("timeout") = timeout,
                                                   nb::arg("verify") = false, nb::arg("headers") = headers);
            nb::object status = response.attr("status_code");
            if (status.equal(nb::int_(200))) {
                nb::object write = img_io.attr("write");
                for (nb::handle chunk : response.attr("iter_content")(nb::arg("chunk_size") = 4096)) {
                    if (callable::truth(chunk)) write(chunk);
                }
                return img_io;
            }
            nb::object delay = backoff_delay(base_delay, retry_count);
            call.global("time").attr("sleep")(delay);
            log(call, logger,
                concat({nb::str("请求失败，状态码: "), status, nb::str(", "), delay, nb::str("s 后重试...: "), url}));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            callable::Handling handling(e.value());
            nb::object delay = backoff_delay(base_delay, retry_count);
            call.global("time").attr("sleep")(delay);
            log(call, logger,
                concat({nb::str("请求发生错误: "), e.value(), nb::str(", "), delay, nb::str("s 后重试...: "), url}));
        }
        ++retry_count;
        if (retry_count < max_retries)
            log(call, logger, concat({nb::str("第 "), nb::int_(retry_count + 1), nb::str(" 次重试...: "), url}));
    }
    nb::dict extra;
    extra["url"] = url;
    nb::object error =
        call.global("ServiceError")("无效的图片资源，请确认图片链接可正常访问", nb::arg("extra_data") = extra);
    callable::raise_instance(error);
}

nb::object get_img_url_bytes(Call &call) {
    nb::object fetch = call.global("ImageTool").attr("get_img_url_io");
    nb::object args = nb::make_tuple(call.arg(0));
    nb::object stream = callable::checked(PyObject_Call(fetch.ptr(), args.ptr(), call.kwargs().ptr()));
    return stream.attr("getvalue")();
}

const char *const get_img_url_io_doc =
    "从 URL 获取图片内容并返回 BytesIO 对象，包含指数退避重试机制。\n"
    "\n"
    "Args:\n"
    "    url: 图片的 http/https 地址（必须为 str）。\n"
    "    max_retries: 最多尝试次数（含第一次），默认 3。\n"
    "    base_delay: 首次重试前的等待秒数，之后每次翻倍，默认 0.5。\n"
    "    logger: 可选的日志对象；为真时所有失败与重试信息通过 logger.error 输出，否则打印到标准输出。\n"
    "    **kwargs: 读取 timeout（请求超时秒数，默认 20）和 headers（请求头，默认 None），其余忽略。\n"
    "\n"
    "Returns:\n"
    "    BytesIO: 完整的响应内容，流位置停在末尾（未回绕）。\n"
    "\n"
    "Raises:\n"
    "    ServiceError: 所有尝试均失败（非 200 状态码或请求异常），extra_data 为 {\"url\": url}。\n"
    "    TypeError: url 不是 str，或 max_retries、base_delay 不是数值。\n";

const char *const get_img_url_bytes_doc =
    "从 URL 获取图片内容并直接返回 bytes。\n"
    "\n"
    "Args:\n"
    "    url: 图片的 http/https 地址（必须为 str）。\n"
    "    **kwargs: 原样传给 get_img_url_io，可包含 max_retries、base_delay、logger、timeout、headers。\n"
    "\n"
    "Returns:\n"
    "    bytes: 完整的响应内容。\n"
    "\n"
    "Raises:\n"
    "    ServiceError: 所有尝试均失败。\n"
    "    TypeError: url 不是 str。\n";

}  // namespace

const Definition &get_img_url_io_definition() {
    static const Definition definition{
        "get_img_url_io",
        "ImageTool.get_img_url_io",
        {
            {"url", Rule::Str, "str"},
            {"max_retries", Rule::Int, "int", Default::integer(3)},
            {"base_delay", Rule::Float, "float", Default::real(0.5)},
            {"logger", Rule::Any, "Optional[logging.Logger]", Default::none()},
        },
        "kwargs",
        nullptr,
        "Optional[BytesIO]",
        get_img_url_io_doc,
        get_img_url_io,
    };
    return definition;
}

const Definition &get_img_url_bytes_definition() {
    static const Definition definition{
        "get_img_url_bytes",
        "ImageTool.get_img_url_bytes",
        {{"url", Rule::Str, "str"}},
        "kwargs",
        nullptr,
        "bytes",
        get_img_url_bytes_doc,
        get_img_url_bytes,
    };
    return definition;
}

}  // namespace kestrix::image
