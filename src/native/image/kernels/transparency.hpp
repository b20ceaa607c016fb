// Alpha counting over decoded pixels; no Python here, so it runs without the GIL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrix::image::kernels {

// Number of pixels whose alpha is below 255 (not fully opaque). `alpha`
// points at the first pixel's alpha byte; pixels are `stride` bytes apart.
std::uint64_t count_transparent(const std::uint8_t *alpha, std::size_t pixels, std::size_t stride);

}  // namespace kestrix::image::kernels
