// Pixel classes of the coloured-line check: background (near black or near
// white), green and red strokes, counted over 8-bit RGB pixels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrix::kernels {

// Thresholds reduced to the range where comparing them with 8-bit channels
// (and with differences of two channels) still means the same as with the
// caller's unbounded integers.
struct LineThresholds {
    int bg_threshold;
    int color_gap;

    static LineThresholds clamped(long long bg_threshold, long long color_gap);
};

struct LinePixelCounts {
    std::uint64_t non_bg = 0;
    std::uint64_t green = 0;
    std::uint64_t red = 0;

    LinePixelCounts &operator+=(const LinePixelCounts &other) {
        non_bg += other.non_bg;
        green += other.green;
        red += other.red;
        return *this;
    }
};

enum LineClass : unsigned { kNonBackground = 1, kGreen = 2, kRed = 4 };

// The classes of one colour, as a set of LineClass bits.
inline unsigned classify_line_colour(int r, int g, int b, LineThresholds t) {
    const bool dark = r <= t.bg_threshold && g <= t.bg_threshold && b <= t.bg_threshold;
    const bool white = r >= 240 && g >= 240 && b >= 240;
    if (dark || white) return 0;
    unsigned classes = kNonBackground;
    // Blue against 0.6 of the dominant channel, kept in integers.
    if (g - r > t.color_gap && g - b > t.color_gap && (b * 10 < g * 6 || (r < 120 && r < b))) classes |= kGreen;
    if (r - g > t.color_gap && r - b > t.color_gap && b * 10 < r * 6) classes |= kRed;
    return classes;
}

// Counts over `height` rows of `width` pixels; a pixel's red, green and blue
// are its first three bytes, pixels are `pixel_stride` (>= 3) bytes apart and
// rows `row_stride` bytes apart.
LinePixelCounts count_line_pixels(const std::uint8_t *pixels, std::size_t width, std::size_t height,
                                  std::ptrdiff_t row_stride, std::size_t pixel_stride, LineThresholds thresholds);

}  // namespace kestrix::kernels
