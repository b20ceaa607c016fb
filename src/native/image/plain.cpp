// is_plain_gray
#include "ops.hpp"

namespace kestrix::image {

namespace {

nb::object is_plain_gray(Call &) { not_implemented("ImageTool.is_plain_gray"); }

const char *const is_plain_gray_doc =
    "检测图片是否为纯色图（无图案、无纹理、无明显色彩）。\n"
    "\n"
    "Args:\n"
    "    image_data: 图片的二进制数据、本地文件路径或 http/https URL（URL 会先下载）。\n"
    "    gray_thresh: 灰度标准差阈值，超过即认为有明显明暗变化，默认 30.0。\n"
    "    edge_thresh: Canny 边缘密度阈值，超过即认为有图案或纹理，默认 0.01。\n"
    "    **kwargs: 只读取 logger（需有 error 方法），检测出错时记录 \"图片检测错误: \" 加错误信息；其余参数忽略。\n"
    "\n"
    "Returns:\n"
    "    (is_gray, metrics, message)：是否为纯色图；各项指标 std、edge_ratio、saturation、\n"
    "    local_contrast、high_freq_ratio、enhanced_edge_ratio、enhanced_std（已四舍五入）；\n"
    "    判定原因（\"纯色图\" 或第一个超出阈值的指标说明）。图片无法解码时返回\n"
    "    (False, {\"std\": 0, \"edge_ratio\": 100, \"saturation\": 0}, \"图片为空\")。\n"
    "\n"
    "Raises:\n"
    "    TypeError: gray_thresh 或 edge_thresh 不是实数。其余任何错误（文件不存在、下载失败等）\n"
    "    都不会抛出，而是返回 (False, {\"std\": 0, \"edge_ratio\": 100, \"saturation\": 0}, 错误信息)。\n";

}  // namespace

const Spec &is_plain_gray_spec() {
    static const Spec spec{
        "is_plain_gray",
        "ImageTool.is_plain_gray",
        {
            {"image_data", Rule::Any, "Union[bytes, str]"},
            {"gray_thresh", Rule::Float, "float", Default::real(30.0)},
            {"edge_thresh", Rule::Float, "float", Default::real(0.01)},
        },
        "kwargs",
        nullptr,
        "Tuple[bool, Dict[str, Any], str]",
        is_plain_gray_doc,
        is_plain_gray,
    };
    return spec;
}

}  // namespace kestrix::image
