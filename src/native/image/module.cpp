// kestrix.image: binds its dependencies as module globals, in order, then
// builds ImageTool from the operation table.
#include <nanobind/nanobind.h>

#include "ops.hpp"

namespace nb = nanobind;
using namespace kestrix;

namespace {

// `from <module> import <name>` (relative to `globals`' package when level is
// 1), with the interpreter's own ImportError for a missing name.
nb::object import_from(nb::handle globals, const char *module, const char *name, int level = 0) {
    nb::object fromlist = nb::make_tuple(name);
    nb::object mod = nb::steal(PyImport_ImportModuleLevel(module, globals.ptr(), nullptr, fromlist.ptr(), level));
    if (!mod.is_valid()) throw nb::python_error();
    PyObject *value = PyObject_GetAttrString(mod.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        nb::object mod_name = nb::getattr(mod, "__name__", nb::str(module));
        nb::object path = nb::getattr(mod, "__file__", nb::none());
        if (!nb::isinstance<nb::str>(path)) path = nb::str("unknown location");
        PyErr_SetImportError(nb::str("cannot import name {!r} from {!r} ({})").format(name, mod_name, path).ptr(),
                             mod_name.ptr(), path.ptr());
        throw nb::python_error();
    }
    return nb::steal(value);
}

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

// Named apart from the module: PyInit_image below wraps it.
NB_MODULE(image_shell, m) {
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
        nb::object func = callable::make_function(m, *definition);
        ns[definition->name] = nb::borrow(reinterpret_cast<PyObject *>(&PyStaticMethod_Type))(func);
    }
    nb::object type = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type));
    m.attr("ImageTool") = type("ImageTool", nb::tuple(), ns);
}

namespace {

int (*shell_exec)(PyObject *) = nullptr;

// nanobind reports a failed initialisation as a new ImportError caused by the
// real failure. Callers should see the real one: a missing `excode` must stay
// a ModuleNotFoundError naming `excode`, a broken dependency its own error.
void unwrap_init_error() {
    PyObject *exc = callable::take_error();
    if (!exc) return;
    if (Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject *>(PyExc_ImportError))) {
        if (PyObject *cause = PyException_GetCause(exc)) {
            Py_DECREF(exc);
            exc = cause;
        }
    }
    callable::put_error(exc);
}

int exec_image(PyObject *m) {
    if (shell_exec(m) == 0) return 0;
    unwrap_init_error();
    return -1;
}

}  // namespace

extern "C" NB_EXPORT PyObject *PyInit_image(void) {
    PyObject *def = PyInit_image_shell();
    if (!def) {
        unwrap_init_error();
        return nullptr;
    }
    if (!PyObject_TypeCheck(def, &PyModuleDef_Type)) return def;  // single-phase: already initialised
    auto *module_def = reinterpret_cast<PyModuleDef *>(def);
    for (PyModuleDef_Slot *slot = module_def->m_slots; slot && slot->slot; ++slot) {
        if (slot->slot != Py_mod_exec || slot->value == reinterpret_cast<void *>(exec_image)) continue;
        shell_exec = reinterpret_cast<int (*)(PyObject *)>(slot->value);
        slot->value = reinterpret_cast<void *>(exec_image);
    }
    return def;
}
