// The bounding box of the visible content of an RGBA image: pixels that are
// not fully transparent and not pure white (255, 255, 255).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrix::kernels {

// Rows of 4-byte pixels, red, green, blue, alpha; rows `row_stride` bytes apart.
struct RgbaRows {
    const std::uint8_t *pixels;
    std::size_t width;
    std::size_t height;
    std::ptrdiff_t row_stride;

    const std::uint8_t *row(std::size_t y) const { return pixels + static_cast<std::ptrdiff_t>(y) * row_stride; }
};

// Left and top inclusive, right and bottom exclusive.
struct ContentBox {
    bool found = false;
    std::size_t left = 0, top = 0, right = 0, bottom = 0;
};

// Index of the first (last) row that holds content, or `height` when none does.
std::size_t first_content_row(const RgbaRows &image);
std::size_t last_content_row(const RgbaRows &image);

// Lowers `left` and raises `right` (exclusive) until they take in every
// content pixel of the rows. Only the columns outside [left, right) are read.
void widen_to_content(const RgbaRows &image, std::size_t &left, std::size_t &right);

}  // namespace kestrix::kernels
