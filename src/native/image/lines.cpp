// has_colored_lines: whether an image is only red and/or green strokes on a
// dark or white background.
#include "kernels/colored_lines.hpp"
#include "kernels/value_histogram.hpp"
#include "ops.hpp"
#include "pillow_pixels.hpp"
#include "source.hpp"

namespace kestrix::image {

namespace {

using kernels::LinePixelCounts;
using kernels::LineThresholds;

double real(nb::handle value) {
    const double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

// One-byte images ("L", "P") are counted by value: every value stands for
// one colour, which convert("RGB") itself tells, through a 256-pixel image of
// the same mode, palette and info. False when Pillow answers in another shape.
bool count_by_value(nb::handle img, const char *mode, LineThresholds thresholds, LinePixelCounts &counts) {
    unsigned char values[256];
    for (int i = 0; i < 256; ++i) values[i] = static_cast<unsigned char>(i);
    nb::object probe = img.attr("crop")(nb::make_tuple(0, 0, 256, 1));
    probe.attr("putdata")(nb::bytes(values, sizeof values));
    nb::object colours = probe.attr("convert")("RGB").attr("tobytes")();
    if (!PyBytes_Check(colours.ptr()) || PyBytes_GET_SIZE(colours.ptr()) != 3 * 256) return false;
    const auto *rgb = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(colours.ptr()));

    PillowPixels pixels(nb::borrow(img), mode);
    kernels::ValueHistogram histogram{};
    pixels.visit(0, pixels.height(), false, [&](const PixelRows &rows, std::size_t) {
        const kernels::ValueHistogram part =
            kernels::count_values(rows.pixels, rows.width, rows.height, rows.row_stride);
        for (int v = 0; v < 256; ++v) histogram[v] += part[v];
        return false;
    });
    for (int v = 0; v < 256; ++v) {
        const unsigned classes = kernels::classify_line_colour(rgb[3 * v], rgb[3 * v + 1], rgb[3 * v + 2], thresholds);
        if (classes & kernels::kNonBackground) counts.non_bg += histogram[v];
        if (classes & kernels::kGreen) counts.green += histogram[v];
        if (classes & kernels::kRed) counts.red += histogram[v];
    }
    return true;
}

// One pass over the pixels of an "RGB" or "RGBA" image (alpha ignored, as
// convert("RGB") drops it).
LinePixelCounts count_by_pixel(nb::object img, const char *mode, LineThresholds thresholds) {
    PillowPixels pixels(std::move(img), mode);
    LinePixelCounts counts;
    pixels.visit(0, pixels.height(), false, [&](const PixelRows &rows, std::size_t) {
        counts += kernels::count_line_pixels(rows.pixels, rows.width, rows.height, rows.row_stride, rows.pixel_stride,
                                             thresholds);
        return false;
    });
    return counts;
}

// Counts over the pixels of a loaded image as convert("RGB") gives them.
LinePixelCounts count_pixels(nb::handle img, LineThresholds thresholds) {
    const nb::str mode = nb::str(img.attr("mode"));
    auto is = [&](const char *name) { return mode.equal(nb::str(name)); };
    // Converting to "RGB" would copy an "RGB" image unchanged and only drop
    // the alpha of an "RGBA" one, so both are read as they are.
    LinePixelCounts counts;
    if (is("RGB") || is("RGBA")) return count_by_pixel(nb::borrow(img), is("RGB") ? "RGB" : "RGBA", thresholds);
    if ((is("L") || is("P")) && count_by_value(img, is("L") ? "L" : "P", thresholds, counts)) return counts;
    return count_by_pixel(img.attr("convert")("RGB"), "RGB", thresholds);
}

nb::object rounded(const Call &call, double value) { return call.global("round")(nb::float_(value), 4); }

nb::object has_colored_lines(Call &call) {
    const LineThresholds thresholds =
        LineThresholds::clamped(callable::saturate(call.arg(1)), callable::saturate(call.arg(2)));
    const double max_fill_ratio = real(call.arg(3));
    const double min_colored_ratio = real(call.arg(4));
    const double min_dual_color_ratio = real(call.arg(5));
    const double max_density_for_single_color = real(call.arg(6));

    LinePixelCounts counts;
    double total_pixels = 0;
    // The with block closes a file Pillow opened itself (it stays open for the
    // other frames of a multi-frame image), never a caller's stream.
    with_block(open_image(call, call.arg(0)), [&](nb::handle img) {
        // convert() loads first too; the mode is only final once loaded.
        img.attr("load")();
        nb::object size = img.attr("size");
        total_pixels =
            static_cast<double>(nb::cast<unsigned long long>(size[0]) * nb::cast<unsigned long long>(size[1]));
        counts = count_pixels(img, thresholds);
    });

    nb::dict result;
    if (counts.non_bg == 0) {
        result["has_lines"] = false;
        result["has_green"] = false;
        result["has_red"] = false;
        result["green_ratio"] = 0.0;
        result["red_ratio"] = 0.0;
        result["total_non_bg_ratio"] = 0.0;
        return std::move(result);
    }
    // Counts stay far below 2**53, so these divisions round as Python's do.
    const double non_bg = static_cast<double>(counts.non_bg);
    const double green_ratio = static_cast<double>(counts.green) / non_bg;
    const double red_ratio = static_cast<double>(counts.red) / non_bg;
    const double colored_ratio = static_cast<double>(counts.green + counts.red) / non_bg;
    const double total_non_bg_ratio = non_bg / total_pixels;

    const bool is_fill = total_non_bg_ratio > max_fill_ratio;
    const bool is_multicolor = colored_ratio < min_colored_ratio;
    const bool is_sparse = total_non_bg_ratio < max_density_for_single_color;
    const bool is_single_color =
        !is_sparse && (red_ratio < green_ratio ? red_ratio : green_ratio) < min_dual_color_ratio;

    result["has_lines"] = !is_fill && !is_multicolor && !is_single_color && colored_ratio > 0.5;
    result["has_green"] = green_ratio > 0.1;
    result["has_red"] = red_ratio > 0.1;
    result["green_ratio"] = rounded(call, green_ratio);
    result["red_ratio"] = rounded(call, red_ratio);
    result["total_non_bg_ratio"] = rounded(call, total_non_bg_ratio);
    return std::move(result);
}

const char *const has_colored_lines_doc =
    "检测图片中是否仅包含绿色线或红色线（黑色背景上的彩色线条）。\n"
    "\n"
    "三个通道都不大于 bg_threshold（暗）或都不小于 240（白）的像素为背景；其余像素按通道差\n"
    "分为绿色、红色或其他颜色，再经过填充、多色、单色和稀疏规则判断。\n"
    "\n"
    "Args:\n"
    "    image_data: 图片的二进制数据、本地文件路径、http/https URL 或 BytesIO。\n"
    "    bg_threshold: 暗背景阈值，默认 30。\n"
    "    color_gap: 主通道需超过其余两个通道的差值，默认 30。\n"
    "    max_fill_ratio: 非背景像素占比超过该值视为填充图，默认 0.3。\n"
    "    min_colored_ratio: 红绿像素占非背景像素比例低于该值视为多色图，默认 0.85。\n"
    "    min_dual_color_ratio: 红、绿占比中较小者低于该值视为单色，默认 0.15。\n"
    "    max_density_for_single_color: 非背景占比低于该值时不做单色判断，默认 0.05。\n"
    "\n"
    "Returns:\n"
    "    Dict[str, Any]: has_lines、has_green、has_red 以及 green_ratio、red_ratio、\n"
    "    total_non_bg_ratio（保留 4 位小数）。\n"
    "\n"
    "Raises:\n"
    "    FileNotFoundError: 路径不是已存在的文件（\"图片文件不存在: \" 加路径）。\n"
    "    ServiceError: URL 下载多次重试后仍失败。\n"
    "    OSError: 图片无法识别或解码。\n"
    "    TypeError: 参数类型不符。\n";

}  // namespace

const Definition &has_colored_lines_definition() {
    static const Definition definition{
        "has_colored_lines",
        "ImageTool.has_colored_lines",
        {
            {"image_data", Rule::Any, "Union[bytes, str, BytesIO]"},
            {"bg_threshold", Rule::Int, "int", Default::integer(30)},
            {"color_gap", Rule::Int, "int", Default::integer(30)},
            {"max_fill_ratio", Rule::Float, "float", Default::real(0.3)},
            {"min_colored_ratio", Rule::Float, "float", Default::real(0.85)},
            {"min_dual_color_ratio", Rule::Float, "float", Default::real(0.15)},
            {"max_density_for_single_color", Rule::Float, "float", Default::real(0.05)},
        },
        nullptr,
        nullptr,
        "Dict[str, Any]",
        has_colored_lines_doc,
        has_colored_lines,
    };
    return definition;
}

}  // namespace kestrix::image
