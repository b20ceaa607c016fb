#include "pillow_pixels.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

namespace kestrix::image {

namespace {

// The Arrow C data interface structures (a stable ABI).
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

constexpr std::size_t kStripBytes = std::size_t(1) << 20;

bool same(const char *text, const char *expected) { return text != nullptr && std::strcmp(text, expected) == 0; }

// Pillow describes a 4-byte pixel as a fixed-size list of four uint8 (the
// child named after the mode) and a 1-byte pixel as a uint8 named after the
// mode. Any other layout is refused.
bool describes_pixels(const ArrowSchema *schema, const ArrowArray *array, std::int64_t pixels, std::size_t pixel_bytes,
                      const char *mode) {
    if (schema == nullptr || array == nullptr || schema->release == nullptr || array->release == nullptr ||
        schema->dictionary != nullptr || array->dictionary != nullptr || array->length != pixels ||
        array->offset != 0 || array->null_count != 0)
        return false;
    if (pixel_bytes == 4) {
        if (!same(schema->format, "+w:4") || schema->n_children != 1 || schema->children == nullptr ||
            array->n_children != 1 || array->children == nullptr)
            return false;
        schema = schema->children[0];
        array = array->children[0];
        if (schema == nullptr || array == nullptr || schema->dictionary != nullptr || array->dictionary != nullptr ||
            array->length != pixels * 4 || array->offset != 0 || array->null_count != 0)
            return false;
    }
    return same(schema->format, "C") && same(schema->name, mode) && schema->n_children == 0 && array->n_children == 0 &&
           array->n_buffers == 2 && array->buffers != nullptr && array->buffers[1] != nullptr;
}

// The image's pixels as exported by Pillow, or false when it refuses or
// describes a layout other than the expected one.
bool export_pixels(nb::handle image, std::size_t width, std::size_t height, std::size_t pixel_bytes, const char *mode,
                   nb::object &schema, nb::object &array, PixelRows &rows) {
    if (width == 0 || height == 0 || width > std::size_t(std::numeric_limits<std::int64_t>::max()) / 4 / height)
        return false;
    nb::object pair;
    try {
        pair = image.attr("__arrow_c_array__")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;  // an older Pillow, or pixels spread over several blocks
    }
    if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2) return false;
    nb::object schema_capsule = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0));
    nb::object array_capsule = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1));
    if (!PyCapsule_IsValid(schema_capsule.ptr(), "arrow_schema") ||
        !PyCapsule_IsValid(array_capsule.ptr(), "arrow_array"))
        return false;
    auto *s = static_cast<const ArrowSchema *>(PyCapsule_GetPointer(schema_capsule.ptr(), "arrow_schema"));
    auto *a = static_cast<const ArrowArray *>(PyCapsule_GetPointer(array_capsule.ptr(), "arrow_array"));
    if (!describes_pixels(s, a, static_cast<std::int64_t>(width * height), pixel_bytes, mode)) return false;
    const ArrowArray *values = pixel_bytes == 4 ? a->children[0] : a;
    rows = {static_cast<const std::uint8_t *>(values->buffers[1]), width, height,
            static_cast<std::ptrdiff_t>(width * pixel_bytes), pixel_bytes};
    schema = std::move(schema_capsule);
    array = std::move(array_capsule);
    return true;
}

}  // namespace

PillowPixels::PillowPixels(nb::object image, const char *mode)
    : image_(std::move(image)),
      mode_(mode),
      pixel_bytes_(std::strcmp(mode, "RGB") == 0 || std::strcmp(mode, "RGBA") == 0 ? 4 : 1) {
    nb::object size = image_.attr("size");
    width_ = nb::cast<std::size_t>(size[0]);
    height_ = nb::cast<std::size_t>(size[1]);
    exported_ = export_pixels(image_, width_, height_, pixel_bytes_, mode_, schema_, array_, whole_);
}

std::size_t PillowPixels::strip_height() const {
    const std::size_t rows = kStripBytes / (width_ * pixel_bytes_);
    return rows > 0 ? rows : 1;
}

PillowPixels::Strip PillowPixels::strip(std::size_t begin, std::size_t end) {
    Strip piece;
    piece.image = image_.attr("crop")(nb::make_tuple(0, begin, width_, end));
    if (strips_export_ && export_pixels(piece.image, width_, end - begin, pixel_bytes_, mode_, piece.keep_alive[0],
                                        piece.keep_alive[1], piece.rows))
        return piece;
    // Pillow's raw encoder pads "RGB" to four bytes as "RGBX".
    strips_export_ = false;
    nb::object data = piece.image.attr("tobytes")("raw", std::strcmp(mode_, "RGB") == 0 ? "RGBX" : mode_);
    const std::size_t row_bytes = width_ * pixel_bytes_;
    if (!PyBytes_Check(data.ptr()) || std::size_t(PyBytes_GET_SIZE(data.ptr())) != row_bytes * (end - begin))
        callable::raise(PyExc_RuntimeError, "unexpected pixel data from Pillow");
    piece.rows = {reinterpret_cast<const std::uint8_t *>(PyBytes_AS_STRING(data.ptr())), width_, end - begin,
                  static_cast<std::ptrdiff_t>(row_bytes), pixel_bytes_};
    piece.keep_alive[0] = std::move(data);
    return piece;
}

}  // namespace kestrix::image
