// How often each value occurs in an image of one byte per pixel.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrix::kernels {

using ValueHistogram = std::array<std::uint64_t, 256>;

// `height` rows of `width` one-byte pixels, rows `row_stride` bytes apart.
ValueHistogram count_values(const std::uint8_t *pixels, std::size_t width, std::size_t height,
                            std::ptrdiff_t row_stride);

}  // namespace kestrix::kernels
