// has_multiple_transparency
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "kernels/transparency.hpp"
#include "source.hpp"

namespace kestrix::image {

namespace {

// The Arrow C data interface structs (a stable ABI), through which Pillow
// lends its decoded pixels without a copy.
struct ArrowSchema {
    const char *format;
    const char *name;
    const char *metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema **children;
    ArrowSchema *dictionary;
    void (*release)(ArrowSchema *);
    void *private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void **buffers;
    ArrowArray **children;
    ArrowArray *dictionary;
    void (*release)(ArrowArray *);
    void *private_data;
};

bool py_compare(nb::handle a, nb::handle b, int op) {
    nb::object result = nb::steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    if (!result.is_valid()) throw nb::python_error();
    return callable::truth(result);
}

template <class T>
const T *capsule_pointer(nb::handle capsule, const char *name) {
    if (!PyCapsule_IsValid(capsule.ptr(), name)) return nullptr;
    return static_cast<const T *>(PyCapsule_GetPointer(capsule.ptr(), name));
}

// The alpha bytes of an RGBA image exported as one contiguous run of
// `pixels` 4-byte pixels, or nullptr when the export has any other shape.
const std::uint8_t *rgba_alpha(const ArrowSchema *schema, const ArrowArray *array, std::int64_t pixels) {
    if (!schema || !array || !schema->format || std::strcmp(schema->format, "+w:4") != 0) return nullptr;
    if (schema->n_children != 1 || !schema->children || !schema->children[0]) return nullptr;
    const ArrowSchema *band = schema->children[0];
    if (!band->format || std::strcmp(band->format, "C") != 0) return nullptr;
    if (!array->release || array->length != pixels || array->null_count != 0) return nullptr;
    if (array->offset < 0 || array->offset > std::numeric_limits<std::int64_t>::max() / 4 - pixels) return nullptr;
    if (array->n_children != 1 || !array->children || !array->children[0]) return nullptr;
    const ArrowArray *bytes = array->children[0];
    if (bytes->n_buffers != 2 || !bytes->buffers || !bytes->buffers[1] || bytes->null_count != 0) return nullptr;
    if (bytes->offset < 0 || bytes->length < (array->offset + pixels) * 4) return nullptr;
    const auto *data = static_cast<const std::uint8_t *>(bytes->buffers[1]);
    return data + (bytes->offset + array->offset * 4) + 3;
}

// Counted in place over Pillow's own pixel memory when it lends it as one
// block (Arrow export); nothing when the image spans several blocks.
std::optional<std::uint64_t> count_in_place(nb::handle img, std::int64_t pixels) {
    nb::object export_array = nb::getattr(img, "__arrow_c_array__", nb::none());
    if (export_array.is_none()) return std::nullopt;
    nb::object exported;
    try {
        exported = export_array();
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError)) return std::nullopt;
        throw;
    }
    if (!PyTuple_Check(exported.ptr()) || PyTuple_GET_SIZE(exported.ptr()) != 2) return std::nullopt;
    nb::handle schema = PyTuple_GET_ITEM(exported.ptr(), 0), array = PyTuple_GET_ITEM(exported.ptr(), 1);
    const std::uint8_t *alpha = rgba_alpha(capsule_pointer<ArrowSchema>(schema, "arrow_schema"),
                                           capsule_pointer<ArrowArray>(array, "arrow_array"), pixels);
    if (!alpha) return std::nullopt;
    // `exported` keeps the lent memory alive while the GIL is away.
    nb::gil_scoped_release release;
    return kernels::count_transparent(alpha, static_cast<std::size_t>(pixels), 4);
}

// Pillow's histogram counts every band in one pass over its own memory,
// whatever its block layout; the alpha band is the last 256 entries.
std::uint64_t count_from_histogram(nb::handle img) {
    nb::object histogram = img.attr("histogram")();
    if (!PyList_Check(histogram.ptr()) || PyList_GET_SIZE(histogram.ptr()) != 1024)
        callable::raise(PyExc_ValueError, "unexpected histogram of an RGBA image");
    std::uint64_t total = 0;
    for (Py_ssize_t value = 768; value < 1023; ++value) {
        const unsigned long long n = PyLong_AsUnsignedLongLong(PyList_GET_ITEM(histogram.ptr(), value));
        if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
        total += n;
    }
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
        nb::object items = nb::steal(PySequence_Tuple(pair.ptr()));
        if (!items.is_valid()) throw nb::python_error();
        if (PyTuple_GET_SIZE(items.ptr()) != 2) {
            PyErr_Format(PyExc_ValueError, "expected (count, index) pairs from getcolors(), got %R", pair.ptr());
            throw nb::python_error();
        }
        nb::handle count = PyTuple_GET_ITEM(items.ptr(), 0), index = PyTuple_GET_ITEM(items.ptr(), 1);
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
    std::optional<std::uint64_t> counted = count_in_place(img, total_pixels);
    const std::uint64_t transparent_pixels = counted ? *counted : count_from_histogram(img);
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
