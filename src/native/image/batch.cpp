// batch_has_multiple_transparency
#include "source.hpp"

namespace kestrix::image {

namespace {

// `from tqdm import tqdm`, at each call, through the builtin __import__ as
// the statement does.
nb::object import_tqdm(const Call &call) {
    nb::object module = call.global("__import__")("tqdm", call.globals(), nb::none(), nb::make_tuple("tqdm"), 0);
    PyObject *value = PyObject_GetAttrString(module.ptr(), "tqdm");
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    nb::object path = nb::getattr(module, "__file__", nb::str("unknown location"));
    PyErr_SetImportError(nb::str("cannot import name 'tqdm' from 'tqdm' ({})").format(path).ptr(),
                         nb::str("tqdm").ptr(), path.ptr());
    throw nb::python_error();
}

nb::list extension_list(nb::handle extensions) {
    if (extensions.is_none())
        return nb::list(nb::make_tuple(".png", ".jpg", ".jpeg", ".gif", ".bmp", ".webp", ".tiff", ".tif"));
    nb::list lowered;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(extensions.ptr()); ++i) {
        nb::object ext = nb::borrow(PyList_GET_ITEM(extensions.ptr(), i));
        if (!PyUnicode_CheckExact(ext.ptr())) {
            PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", "str", Py_TYPE(ext.ptr())->tp_name);
            throw nb::python_error();
        }
        lowered.append(ext.attr("lower")());
    }
    return lowered;
}

// Paths of the files whose lower-cased extension is listed, in walk order,
// joined onto the walk's own directory paths.
nb::list find_image_files(const Call &call, nb::handle directory, nb::handle extensions) {
    nb::object path = call.global("os").attr("path");
    nb::object splitext = path.attr("splitext"), join = path.attr("join");
    nb::list image_files;
    for (nb::handle step : call.global("os").attr("walk")(directory)) {
        nb::tuple walked = callable::unpack(step, 3);
        nb::handle root = walked[0];
        for (nb::handle fname : walked[2]) {
            nb::object ext = nb::object(splitext(fname)[1]).attr("lower")();
            const int listed = PySequence_Contains(extensions.ptr(), ext.ptr());
            if (listed < 0) throw nb::python_error();
            if (listed) image_files.append(join(root, fname));
        }
    }
    return image_files;
}

// The per-file task. Workers call it holding the GIL; the check inside lets
// go of it while decoding and counting, so tasks really overlap.
nb::object make_check(const Call &call, nb::handle threshold) {
    return nb::cpp_function(
        [globals = nb::borrow(call.globals()), threshold = nb::borrow(threshold)](nb::handle filepath) {
            nb::object check = callable::module_global(globals, "ImageTool").attr("has_multiple_transparency");
            return nb::make_tuple(filepath, check(filepath, nb::arg("threshold") = threshold));
        },
        nb::name("_check"), nb::arg("filepath"));
}

// One completed task: its answer into `results`, or its failure logged. The
// bar advances by one however this ends.
void record(const Call &call, nb::handle future, nb::handle filepath, nb::dict &results, nb::handle pbar) {
    try {
        try {
            nb::tuple answer = callable::unpack(future.attr("result")(), 2);
            results[answer[0]] = answer[1];
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            callable::Handling handling(e.value());
            call.global("logging").attr("warning")("检测透明度失败 [%s]: %s", filepath, e.value());
        }
    } catch (nb::python_error &e) {
        callable::Handling handling(e.value());
        pbar.attr("update")(1);
        throw;
    }
    pbar.attr("update")(1);
}

nb::object batch_has_multiple_transparency(Call &call) {
    nb::handle directory = call.arg(0), threshold = call.arg(1), max_workers = call.arg(2);
    nb::handle desc = call.arg(4);
    nb::object tqdm = import_tqdm(call);
    if (!callable::truth(call.global("os").attr("path").attr("isdir")(directory)))
        callable::raise(PyExc_FileNotFoundError, nb::str("目录不存在: ") + nb::borrow<nb::str>(directory));
    nb::list extensions = extension_list(call.arg(3));
    nb::list image_files = find_image_files(call, directory, extensions);

    nb::dict results;
    nb::object check = make_check(call, threshold);
    nb::object pool = call.global("ThreadPoolExecutor")(nb::arg("max_workers") = max_workers);
    // The bar lives only while results come in and is closed before the
    // pool's exit waits for its threads.
    with_block(pool, [&](nb::handle executor) {
        nb::dict futures;
        nb::object submit = executor.attr("submit");
        for (nb::handle filepath : image_files) futures[submit(check, filepath)] = filepath;
        nb::object bar = tqdm(nb::arg("total") = futures.size(), nb::arg("desc") = desc, nb::arg("unit") = "img");
        with_block(bar, [&](nb::handle pbar) {
            for (nb::handle future : call.global("as_completed")(futures))
                record(call, future, futures[future], results, pbar);
        });
    });
    return results;
}

const char *const batch_has_multiple_transparency_doc =
    "批量检测目录下所有图片是否包含多个透明区域（多线程 + tqdm 进度条）。\n"
    "\n"
    "Args:\n"
    "    directory: 要扫描的目录（递归遍历子目录）。\n"
    "    threshold: 传给单张检测的调色板透明像素阈值，默认 5。\n"
    "    max_workers: 线程池的最大线程数，默认 4。\n"
    "    extensions: 要检测的扩展名列表（含点，不区分大小写）；None 时为\n"
    "        .png、.jpg、.jpeg、.gif、.bmp、.webp、.tiff、.tif。\n"
    "    desc: 进度条左侧的描述文字，默认 \"检测透明度\"。\n"
    "\n"
    "Returns:\n"
    "    Dict[str, bool]: 文件路径到检测结果的映射；检测失败的文件记录警告日志后不包含在结果中。\n"
    "\n"
    "Raises:\n"
    "    FileNotFoundError: 目录不存在（\"目录不存在: \" 加目录）。\n"
    "    TypeError: 参数类型不符，或 extensions 中有非 str 的元素。\n";

}  // namespace

const Definition &batch_has_multiple_transparency_definition() {
    static const Definition definition{
        "batch_has_multiple_transparency",
        "ImageTool.batch_has_multiple_transparency",
        {
            {"directory", Rule::Str, "str"},
            {"threshold", Rule::Int, "int", Default::integer(5)},
            {"max_workers", Rule::Int, "int", Default::integer(4)},
            {"extensions", Rule::ListOrNone, "Optional[List[str]]", Default::none()},
            {"desc", Rule::Str, "str", Default::text("检测透明度")},
        },
        nullptr,
        nullptr,
        "Dict[str, bool]",
        batch_has_multiple_transparency_doc,
        batch_has_multiple_transparency,
    };
    return definition;
}

}  // namespace kestrix::image
