// batch_has_multiple_transparency
#include "ops.hpp"

namespace kestrix::image {

namespace {

nb::object batch_has_multiple_transparency(Call &) { not_implemented("ImageTool.batch_has_multiple_transparency"); }

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

const Spec &batch_has_multiple_transparency_spec() {
    static const Spec spec{
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
    return spec;
}

}  // namespace kestrix::image
