// kestrix.image: binds its dependencies as module globals, in order, then
// builds ImageTool from the operation table.
#include <nanobind/nanobind.h>

#include "ops.hpp"

namespace nb = nanobind;
using namespace kestrix;

namespace {

// `from <module> import <name>`, with the interpreter's own ImportError.
nb::object import_from(const char *module, const char *name) {
    nb::object mod = nb::steal(PyImport_ImportModuleLevel(module, nullptr, nullptr,
                                                         nb::make_tuple(name).ptr(), 0));
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
    m.attr("os") = nb::module_::import_("os");
    m.attr("time") = nb::module_::import_("time");
    m.attr("cv2") = nb::module_::import_("cv2");
    m.attr("requests") = nb::module_::import_("requests");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("BytesIO") = import_from("io", "BytesIO");
    m.attr("Image") = import_from("PIL", "Image");
    for (const char *name : {"Tuple", "Dict", "Any", "Optional", "Union", "List"})
        m.attr(name) = import_from("typing", name);
    for (const char *name : {"ThreadPoolExecutor", "as_completed"})
        m.attr(name) = import_from("concurrent.futures", name);
    m.attr("logging") = nb::module_::import_("logging");
    m.attr("str_to_md5") = import_from("kestrix.utils", "str_to_md5");
    m.attr("InvalidImageError") = import_from("excode", "InvalidImageError");
    m.attr("ServiceError") = import_from("excode", "ServiceError");
}

}  // namespace

NB_MODULE(image, m) {
    bind_globals(m);
    callable::init_function_type(m);

    nb::dict ns;
    ns["__module__"] = "kestrix.image";
    ns["__qualname__"] = "ImageTool";
    ns["__doc__"] = "图片工具类，提供图像检测、处理、获取等操作。";
    for (const callable::Spec *spec : {
             &image::is_plain_gray_spec(),
             &image::get_img_url_io_spec(),
             &image::get_img_url_bytes_spec(),
             &image::is_valid_image_spec(),
             &image::has_multiple_transparency_spec(),
             &image::batch_has_multiple_transparency_spec(),
             &image::trim_transparent_edges_spec(),
             &image::has_colored_lines_spec(),
         }) {
        nb::object func = callable::make_function(m, *spec);
        ns[spec->name] = nb::borrow(reinterpret_cast<PyObject *>(&PyStaticMethod_Type))(func);
    }
    nb::object type = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type));
    m.attr("ImageTool") = type("ImageTool", nb::tuple(), ns);
}
