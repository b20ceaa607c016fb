// kestrix.image: binds its dependencies as module globals, in order, then
// builds ImageTool from the operation table.
#include "callable/module.hpp"

#include <nanobind/nanobind.h>

#include "ops.hpp"

namespace nb = nanobind;
using namespace kestrix;
using callable::import_from;

namespace {

void bind_globals(nb::module_ &m) {
    nb::handle g = PyModule_GetDict(m.ptr());
    m.attr("os") = nb::module_::import_("os");
    m.attr("time") = nb::module_::import_("time");
    m.attr("cv2") = nb::module_::import_("cv2");
    m.attr("requests") = nb::module_::import_("requests");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("BytesIO") = import_from(g, "io", "BytesIO");
    m.attr("Image") = import_from(g, "PIL", "Image");
    for (const char *name : {"Tuple", "Dict", "Any", "Optional", "Union", "List"})
        m.attr(name) = import_from(g, "typing", name);
    for (const char *name : {"ThreadPoolExecutor", "as_completed"})
        m.attr(name) = import_from(g, "concurrent.futures", name);
    m.attr("logging") = nb::module_::import_("logging");
    // Relative to this module's package, so the pair moves together if the
    // package is vendored under another name; `excode` is the application's.
    m.attr("str_to_md5") = import_from(g, "utils", "str_to_md5", 1);
    m.attr("InvalidImageError") = import_from(g, "excode", "InvalidImageError");
    m.attr("ServiceError") = import_from(g, "excode", "ServiceError");
}

}  // namespace

KESTRIX_MODULE(image, m) {
    bind_globals(m);
    callable::init_function_type(m);

    nb::dict ns;
    ns["__module__"] = "kestrix.image";
    ns["__qualname__"] = "ImageTool";
    ns["__doc__"] = "图片工具类，提供图像检测、处理、获取等操作。";
    for (const callable::Definition *definition : {
             &image::is_plain_gray_definition(),
             &image::get_img_url_io_definition(),
             &image::get_img_url_bytes_definition(),
             &image::is_valid_image_definition(),
             &image::has_multiple_transparency_definition(),
             &image::batch_has_multiple_transparency_definition(),
             &image::trim_transparent_edges_definition(),
             &image::has_colored_lines_definition(),
         }) {
        ns[definition->name] = callable::static_method(callable::make_function(m, *definition));
    }
    m.attr("ImageTool") = callable::make_class("ImageTool", ns);
}
