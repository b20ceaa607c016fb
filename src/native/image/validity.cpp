// is_valid_image
#include "source.hpp"

namespace kestrix::image {

namespace {

nb::object is_valid_image(Call &call) {
    // Rebound once the download or the file read succeeds, so the size
    // reported on failure is that of the bytes when there are any.
    nb::object image_data = nb::borrow(call.arg(0));
    try {
        image_data = resolve_bytes(call, image_data);
        nb::object img = call.global("Image").attr("open")(call.global("BytesIO")(image_data));
        with_block(img, [](nb::handle opened) { opened.attr("load")(); });
        return nb::bool_(true);
    } catch (nb::python_error &err) {
        if (!err.matches(PyExc_OSError)) throw;
        callable::Handling handling(err.value());
        nb::object message = nb::str("图片无效: ") + nb::str(err.value());
        const Py_ssize_t image_size = PyObject_Length(image_data.ptr());
        if (image_size < 0) throw nb::python_error();
        nb::object error = call.global("InvalidImageError")(message, nb::arg("image_size") = image_size,
                                                            nb::arg("original_error") = err.value(),
                                                            nb::arg("extra_data") = call.kwargs());
        callable::raise_instance(error);
    }
}

const char *const is_valid_image_doc =
    "判断图片是否有效（未损坏）。\n"
    "\n"
    "Args:\n"
    "    image_data: 图片的二进制数据、本地文件路径或 http/https URL（URL 会先下载）。\n"
    "    **kwargs: 调用方的上下文信息（如 task_id），校验失败时原样附在异常的 extra_data 上。\n"
    "\n"
    "Returns:\n"
    "    bool: 图片能被完整解码时返回 True（从不返回 False）。\n"
    "\n"
    "Raises:\n"
    "    InvalidImageError: 图片无法识别、数据损坏或截断、文件不存在或无法读取；消息为 \"图片无效: \" 加原因，\n"
    "        并带有 image_size、original_error 和 extra_data。\n"
    "    ServiceError: URL 下载多次重试后仍失败。\n"
    "    TypeError: image_data 的类型不可用（如 BytesIO、int）。\n"
    "\n"
    "Example:\n"
    "    try:\n"
    "        ImageTool.is_valid_image(data, task_id=\"abc123\")\n"
    "    except InvalidImageError as e:\n"
    "        print(e.extra_data[\"task_id\"])\n";

}  // namespace

const Definition &is_valid_image_definition() {
    static const Definition definition{
        "is_valid_image",
        "ImageTool.is_valid_image",
        {
            {"image_data", Rule::Any, "Union[bytes, str]"},
        },
        "kwargs",
        "Any",
        "bool",
        is_valid_image_doc,
        is_valid_image,
    };
    return definition;
}

}  // namespace kestrix::image
