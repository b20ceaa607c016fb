// A strided 2-D view of samples, as the kernels take it: element (y, x)
// lives at data + y * row_stride + x * col_stride, strides in bytes.
#pragma once

#include <cstddef>
#include <type_traits>

namespace kestrix::image::kernels {

template <class T>
struct Plane {
    T *data;
    std::size_t rows, cols;
    std::ptrdiff_t row_stride, col_stride;

    T *row(std::size_t y) const {
        using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;
        return reinterpret_cast<T *>(reinterpret_cast<Byte *>(data) + static_cast<std::ptrdiff_t>(y) * row_stride);
    }
    T &at(std::size_t y, std::size_t x) const {
        using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;
        return *reinterpret_cast<T *>(reinterpret_cast<Byte *>(row(y)) + static_cast<std::ptrdiff_t>(x) * col_stride);
    }
    // Samples of a row are adjacent, so a row can be read as a plain array.
    bool packed_rows() const { return col_stride == static_cast<std::ptrdiff_t>(sizeof(T)); }
};

}  // namespace kestrix::image::kernels
