// has_multiple_transparency
#include "kernels/transparency.hpp"

#include <cstdint>

#include "pillow_pixels.hpp"
#include "source.hpp"

namespace kestrix::image {

namespace {

bool py_compare(nb::handle a, nb::handle b, int op) {
    return callable::truth(callable::checked(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

// Pixels whose alpha is below 255, in one pass over Pillow's own memory.
std::uint64_t count_transparent_pixels(nb::handle img) {
    PillowPixels pixels(nb::borrow(img), "RGBA");
    std::uint64_t total = 0;
    pixels.visit(0, pixels.height(), false, [&](const PixelRows &rows, std::size_t) {
        for (std::size_t y = 0; y < rows.height; ++y)
            total += kernels::count_transparent(rows.pixels + static_cast<std::ptrdiff_t>(y) * rows.row_stride + 3,
                                                rows.width, rows.pixel_stride);
        return false;
    });
    return total;
}

std::int64_t dimension(nb::handle size, Py_ssize_t i) {
    const long long value = PyLong_AsLongLong(nb::object(size[i]).ptr());
    if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    return value;
}

// Palette: pixels of the declared transparent index, against `threshold`,
// from the colour histogram (one entry per index in use).
bool palette_has_multiple(nb::handle img, nb::handle threshold) {
    nb::object minus_one = nb::int_(-1);
    nb::object transparent = img.attr("info").attr("get")("transparency", minus_one);
    if (py_compare(transparent, minus_one, Py_EQ)) return false;
    nb::object transparent_pixels = nb::int_(0);
    for (nb::handle pair : img.attr("getcolors")()) {
        nb::tuple items = callable::unpack(pair, 2);
        nb::handle count = items[0], index = items[1];
        if (py_compare(index, transparent, Py_EQ)) transparent_pixels = transparent_pixels + count;
    }
    return py_compare(transparent_pixels, threshold, Py_GT);
}

std::int64_t pixel_count(nb::handle img) {
    nb::object size = img.attr("size");
    return dimension(size, 0) * dimension(size, 1);
}

// Alpha: more than 5 % of the pixels not fully opaque. An image without
// pixels has no transparent share at all, and nothing to decode.
bool alpha_has_multiple(nb::handle img) {
    if (pixel_count(img) <= 0) return false;
    img.attr("load")();
    // A few formats settle their mode only when decoding; the count below
    // needs the fourth band to be alpha.
    nb::object mode = img.attr("mode");
    if (!py_compare(mode, nb::str("RGBA"), Py_EQ)) {
        PyErr_Format(PyExc_ValueError, "an RGBA image decoded as mode %R", mode.ptr());
        throw nb::python_error();
    }
    const std::int64_t total_pixels = pixel_count(img);
    if (total_pixels <= 0) return false;
    const std::uint64_t transparent_pixels = count_transparent_pixels(img);
    return static_cast<double>(transparent_pixels) / static_cast<double>(total_pixels) > 0.05;
}

nb::object has_multiple_transparency(Call &call) {
    nb::handle threshold = call.arg(1);
    nb::object img = open_image(call, call.arg(0));
    bool answer = false;
    // The with block closes a file Pillow opened itself, never a caller's stream.
    with_block(img, [&](nb::handle opened) {
        nb::object mode = opened.attr("mode");
        if (py_compare(mode, nb::str("P"), Py_EQ))
            answer = palette_has_multiple(opened, threshold);
        else if (py_compare(mode, nb::str("RGBA"), Py_EQ))
            answer = alpha_has_multiple(opened);
    });
    return nb::bool_(answer);
}

const char *const has_multiple_transparency_doc =
    "检测图片是否包含多个透明区域。\n"
    "\n"
    "调色板图（P 模式）统计透明索引的像素数，大于 threshold 时为 True；RGBA 图统计 alpha 小于 255\n"
    "的像素，占比大于 5% 时为 True；其他模式返回 False。\n"
    "\n"
    "Args:\n"
    "    image_data: 图片的二进制数据、本地文件路径、http/https URL 或 BytesIO。\n"
    "    threshold: 调色板图透明像素数的阈值，默认 5；仅用于调色板图。\n"
    "\n"
    "Returns:\n"
    "    bool: 是否包含多个透明区域。\n"
    "\n"
    "Raises:\n"
    "    FileNotFoundError: 路径不是已存在的文件（\"图片文件不存在: \" 加路径）。\n"
    "    ServiceError: URL 下载多次重试后仍失败。\n"
    "    OSError: 图片无法识别或解码。\n"
    "    TypeError: threshold 不是数值。\n";

}  // namespace

const Definition &has_multiple_transparency_definition() {
    static const Definition definition{
        "has_multiple_transparency",
        "ImageTool.has_multiple_transparency",
        {
            {"image_data", Rule::Any, "Union[bytes, str, BytesIO]"},
            {"threshold", Rule::Int, "int", Default::integer(5)},
        },
        nullptr,
        nullptr,
        "bool",
        has_multiple_transparency_doc,
        has_multiple_transparency,
    };
    return definition;
}

}  // namespace kestrix::image
