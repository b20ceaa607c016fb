// has_multiple_transparency
#include "ops.hpp"

namespace kestrix::image {

namespace {

nb::object has_multiple_transparency(Call &) { not_implemented("ImageTool.has_multiple_transparency"); }

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

const Spec &has_multiple_transparency_spec() {
    static const Spec spec{
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
    return spec;
}

}  // namespace kestrix::image
