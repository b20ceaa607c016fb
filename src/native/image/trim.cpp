// trim_transparent_edges
#include "ops.hpp"

namespace kestrix::image {

namespace {

nb::object trim_transparent_edges(Call &) { not_implemented("ImageTool.trim_transparent_edges"); }

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

const Spec &trim_transparent_edges_spec() {
    static const Spec spec{
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
    return spec;
}

}  // namespace kestrix::image
