// trim_transparent_edges: cut away fully transparent and pure-white margins,
// keep a padding, re-encode.
#include "kernels/content_box.hpp"
#include "ops.hpp"
#include "pillow_pixels.hpp"
#include "source.hpp"

namespace kestrix::image {

namespace {

using kernels::ContentBox;
using kernels::RgbaRows;

RgbaRows rgba(const PixelRows &rows) { return {rows.pixels, rows.width, rows.height, rows.row_stride}; }

// Top and bottom rows first, scanning inwards; then only the rows between
// them, and of those only the columns outside the box found so far.
ContentBox find_content(PillowPixels &pixels) {
    ContentBox box;
    const std::size_t height = pixels.height();
    std::size_t top = height, bottom = height;
    pixels.visit(0, height, false, [&](const PixelRows &rows, std::size_t first) {
        const std::size_t y = kernels::first_content_row(rgba(rows));
        if (y != rows.height) top = first + y;
        return y != rows.height;
    });
    if (top == height) return box;
    pixels.visit(top, height, true, [&](const PixelRows &rows, std::size_t first) {
        const std::size_t y = kernels::last_content_row(rgba(rows));
        if (y != rows.height) bottom = first + y;
        return y != rows.height;
    });
    std::size_t left = pixels.width(), right = 0;
    pixels.visit(top, bottom + 1, false, [&](const PixelRows &rows, std::size_t) {
        kernels::widen_to_content(rgba(rows), left, right);
        return false;
    });
    box.found = true;
    box.left = left;
    box.top = top;
    box.right = right;
    box.bottom = bottom + 1;
    return box;
}

// Python's max(low, value) / min(high, value) on ints of any size: a negative
// padding may push an edge past the image, and crop() gets the box as computed.
nb::object at_least(nb::object value, nb::handle low) { return value < low ? nb::borrow(low) : value; }
nb::object at_most(nb::object value, nb::handle high) { return high < value ? nb::borrow(high) : value; }

// The RGBA image to encode: the content box with its padding, or the whole
// image when there is no content.
nb::object trimmed(nb::object img, nb::handle padding) {
    // convert() loads first too; the mode is only final once loaded.
    img.attr("load")();
    const bool converted = !nb::str(img.attr("mode")).equal(nb::str("RGBA"));
    // Converting an "RGBA" image would only copy it.
    if (converted) img = img.attr("convert")("RGBA");

    PillowPixels pixels(img, "RGBA");
    const ContentBox box = find_content(pixels);

    nb::object out;
    if (!box.found) {
        // The whole image, as the plain copy convert() would have made, not
        // the opened file object (whose plugin may add to what save writes).
        out = converted ? img : img.attr("copy")();
    } else {
        const nb::int_ zero(0);
        nb::object left = at_least(nb::int_(box.left) - padding, zero);
        nb::object top = at_least(nb::int_(box.top) - padding, zero);
        nb::object width = img.attr("width"), height = img.attr("height");
        nb::object right = at_most(nb::int_(box.right) + padding, width);
        nb::object bottom = at_most(nb::int_(box.bottom) + padding, height);
        out = img.attr("crop")(nb::make_tuple(left, top, right, bottom));
    }
    return out;
}

nb::object trim_transparent_edges(Call &call) {
    nb::object out;
    // The with block closes a file Pillow opened itself (it stays open for the
    // other frames of a multi-frame image), never a caller's stream.
    with_block(open_image(call, call.arg(0)), [&](nb::handle img) { out = trimmed(nb::borrow(img), call.arg(1)); });
    nb::object buf = call.global("BytesIO")();
    out.attr("save")(buf, nb::arg("format") = call.arg(2));
    return buf.attr("getvalue")();
}

const char *const trim_transparent_edges_doc =
    "裁剪图片的透明/白色边缘，并可选添加 padding。\n"
    "\n"
    "完全透明或纯白 (255, 255, 255) 的像素视为背景；保留内容外接矩形并向外扩展 padding 像素\n"
    "（不超出原图边界）。输出总是 RGBA 图像。\n"
    "\n"
    "Args:\n"
    "    image_data: 图片的二进制数据、本地文件路径、http/https URL 或 BytesIO。\n"
    "    padding: 内容四周保留的像素数，默认 10。\n"
    "    output_format: 输出格式（Pillow 的格式名），默认 \"PNG\"。\n"
    "\n"
    "Returns:\n"
    "    bytes: 裁剪后按 output_format 编码的图片；没有内容时返回整张转换为 RGBA 的图片。\n"
    "\n"
    "Raises:\n"
    "    FileNotFoundError: 路径不是已存在的文件（\"图片文件不存在: \" 加路径）。\n"
    "    ServiceError: URL 下载多次重试后仍失败。\n"
    "    OSError: 图片无法识别、解码，或无法以该格式保存。\n"
    "    ValueError: output_format 不是 Pillow 支持的格式，或裁剪框无效。\n"
    "    TypeError: padding 不是数值或 output_format 不是 str。\n";

}  // namespace

const Definition &trim_transparent_edges_definition() {
    static const Definition definition{
        "trim_transparent_edges",
        "ImageTool.trim_transparent_edges",
        {
            {"image_data", Rule::Any, "Union[bytes, str, BytesIO]"},
            {"padding", Rule::Int, "int", Default::integer(10)},
            {"output_format", Rule::Str, "str", Default::text("PNG")},
        },
        nullptr,
        nullptr,
        "bytes",
        trim_transparent_edges_doc,
        trim_transparent_edges,
    };
    return definition;
}

}  // namespace kestrix::image
