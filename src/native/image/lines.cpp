// has_colored_lines
#include "ops.hpp"

namespace kestrix::image {

namespace {

nb::object has_colored_lines(Call &) { not_implemented("ImageTool.has_colored_lines"); }

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

const Spec &has_colored_lines_spec() {
    static const Spec spec{
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
    return spec;
}

}  // namespace kestrix::image
