#include "transparency.hpp"

namespace kestrix::image::kernels {

namespace {

// A 32-bit counter per block keeps the inner loop in narrow lanes the
// compiler can vectorise; blocks stay far below its overflow.
constexpr std::size_t block_pixels = std::size_t{1} << 16;

template <std::size_t Stride>
std::uint64_t count_fixed(const std::uint8_t *alpha, std::size_t pixels) {
    std::uint64_t total = 0;
    for (std::size_t start = 0; start < pixels; start += block_pixels) {
        const std::size_t end = pixels - start < block_pixels ? pixels : start + block_pixels;
        std::uint32_t block = 0;
        for (std::size_t i = start; i < end; ++i) block += alpha[i * Stride] != 255;
        total += block;
    }
    return total;
}

}  // namespace

std::uint64_t count_transparent(const std::uint8_t *alpha, std::size_t pixels, std::size_t stride) {
    if (stride == 4) return count_fixed<4>(alpha, pixels);
    if (stride == 2) return count_fixed<2>(alpha, pixels);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < pixels; ++i) total += alpha[i * stride] != 255;
    return total;
}

}  // namespace kestrix::image::kernels
