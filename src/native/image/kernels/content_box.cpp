#include "content_box.hpp"

#include <cstring>

namespace kestrix::kernels {

namespace {

std::uint32_t word_mask(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) {
    const std::uint8_t bytes[4] = {r, g, b, a};
    std::uint32_t word;
    std::memcpy(&word, bytes, 4);
    return word;
}

struct ContentTest {
    std::uint32_t alpha = word_mask(0, 0, 0, 0xFF);
    std::uint32_t colour = word_mask(0xFF, 0xFF, 0xFF, 0);

    bool operator()(const std::uint8_t *pixel) const {
        std::uint32_t word;
        std::memcpy(&word, pixel, 4);
        return (word & alpha) != 0 && (word & colour) != colour;
    }
};

// Pixels are looked at in blocks without an early exit, so that the test
// vectorises; only a block that holds content is searched pixel by pixel.
constexpr std::size_t kBlock = 64;

bool any_content(const std::uint8_t *p, std::size_t n, const ContentTest &is_content) {
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) any |= is_content(p + 4 * i);
    return any;
}

// Index of the first content pixel among `n`, or `n`.
std::size_t first_content(const std::uint8_t *p, std::size_t n, const ContentTest &is_content) {
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t len = n - start < kBlock ? n - start : kBlock;
        if (!any_content(p + 4 * start, len, is_content)) continue;
        for (std::size_t i = start;; ++i)
            if (is_content(p + 4 * i)) return i;
    }
    return n;
}

// Index of the last content pixel among `n`, or `n`.
std::size_t last_content(const std::uint8_t *p, std::size_t n, const ContentTest &is_content) {
    for (std::size_t end = n; end > 0;) {
        const std::size_t start = end > kBlock ? end - kBlock : 0;
        if (any_content(p + 4 * start, end - start, is_content)) {
            for (std::size_t i = end; i-- > start;)
                if (is_content(p + 4 * i)) return i;
        }
        end = start;
    }
    return n;
}

}  // namespace

std::size_t first_content_row(const RgbaRows &image) {
    const ContentTest is_content;
    for (std::size_t y = 0; y < image.height; ++y)
        if (first_content(image.row(y), image.width, is_content) != image.width) return y;
    return image.height;
}

std::size_t last_content_row(const RgbaRows &image) {
    const ContentTest is_content;
    for (std::size_t y = image.height; y-- > 0;)
        if (first_content(image.row(y), image.width, is_content) != image.width) return y;
    return image.height;
}

void widen_to_content(const RgbaRows &image, std::size_t &left, std::size_t &right) {
    const ContentTest is_content;
    for (std::size_t y = 0; y < image.height; ++y) {
        const std::uint8_t *row = image.row(y);
        left = first_content(row, left, is_content);
        if (right < image.width) {
            const std::size_t from = right > left ? right : left;
            const std::size_t last = last_content(row + 4 * from, image.width - from, is_content);
            if (last != image.width - from) right = from + last + 1;
        }
    }
}

}  // namespace kestrix::kernels
