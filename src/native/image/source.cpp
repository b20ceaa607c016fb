#include "source.hpp"

namespace kestrix::image {

bool is_url(nb::handle value) {
    if (!PyUnicode_Check(value.ptr())) return false;
    return callable::truth(value.attr("startswith")(nb::make_tuple("http://", "https://")));
}

nb::object download(const Call &call, nb::handle url) { return call.global("ImageTool").attr("get_img_url_io")(url); }

void require_file(const Call &call, nb::handle path) {
    nb::object os = call.global("os");
    if (callable::truth(os.attr("path").attr("isfile")(path))) return;
    nb::object message = nb::str("图片文件不存在: ") + nb::borrow<nb::str>(path);
    callable::raise(PyExc_FileNotFoundError, message);
}

nb::object read_file(const Call &call, nb::handle path) {
    nb::object data;
    with_block(call.global("open")(path, "rb"), [&](nb::handle file) { data = file.attr("read")(); });
    return data;
}

nb::object resolve_bytes(const Call &call, nb::handle image_data) {
    if (!PyUnicode_Check(image_data.ptr())) return nb::borrow(image_data);
    if (is_url(image_data)) return download(call, image_data).attr("getvalue")();
    require_file(call, image_data);
    return read_file(call, image_data);
}

nb::object open_image(const Call &call, nb::handle image_data) {
    nb::object open = call.global("Image").attr("open");
    if (PyUnicode_Check(image_data.ptr())) {
        if (is_url(image_data)) return open(download(call, image_data));
        require_file(call, image_data);
        return open(image_data);
    }
    nb::object bytes_io = call.global("BytesIO");
    const int is_stream = PyObject_IsInstance(image_data.ptr(), bytes_io.ptr());
    if (is_stream < 0) throw nb::python_error();
    if (is_stream) return open(image_data);
    return open(bytes_io(image_data));
}

}  // namespace kestrix::image
