#include "colored_lines.hpp"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrix::kernels {

LineThresholds LineThresholds::clamped(long long bg_threshold, long long color_gap) {
    // Channels are 0..255: a threshold below 0 matches nothing and one of 255
    // or more everything. Channel differences are -255..255: a gap of 255 or
    // more is never exceeded and one of -256 or less always.
    return {static_cast<int>(std::clamp<long long>(bg_threshold, -1, 255)),
            static_cast<int>(std::clamp<long long>(color_gap, -256, 255))};
}

namespace {

LinePixelCounts count_span(const std::uint8_t *p, std::size_t n, std::size_t pixel_stride, LineThresholds t) {
    LinePixelCounts counts;
    for (std::size_t i = 0; i < n; ++i, p += pixel_stride) {
        const unsigned classes = classify_line_colour(p[0], p[1], p[2], t);
        counts.non_bg += classes & kNonBackground;
        counts.green += (classes & kGreen) != 0;
        counts.red += (classes & kRed) != 0;
    }
    return counts;
}

#if defined(__SSE2__)

std::uint64_t lane_total(__m128i counters) {
    alignas(16) std::int32_t sums[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(sums), _mm_madd_epi16(counters, _mm_set1_epi16(1)));
    return std::uint64_t(sums[0]) + std::uint64_t(sums[1]) + std::uint64_t(sums[2]) + std::uint64_t(sums[3]);
}

// `n` pixels of 4 bytes each, eight at a time in 16-bit lanes; the same
// tests as classify_line_colour, written with max/min of the channels.
LinePixelCounts count_span4(const std::uint8_t *p, std::size_t n, LineThresholds t) {
    const __m128i low_byte = _mm_set1_epi32(0xFF);
    const __m128i dark_limit = _mm_set1_epi16(static_cast<short>(t.bg_threshold + 1));
    const __m128i white_floor = _mm_set1_epi16(239);
    const __m128i gap = _mm_set1_epi16(static_cast<short>(t.color_gap));
    const __m128i ten = _mm_set1_epi16(10), six = _mm_set1_epi16(6), dark_red = _mm_set1_epi16(120);

    LinePixelCounts counts;
    std::size_t i = 0;
    while (n - i >= 8) {
        // 16-bit lane counters take 4096 steps of one before they are emptied.
        const std::size_t steps = std::min<std::size_t>((n - i) / 8, 4096);
        __m128i non_bg_lanes = _mm_setzero_si128(), green_lanes = non_bg_lanes, red_lanes = non_bg_lanes;
        for (std::size_t s = 0; s < steps; ++s, i += 8) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 4 * i));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 4 * i + 16));
            const __m128i r = _mm_packs_epi32(_mm_and_si128(a, low_byte), _mm_and_si128(c, low_byte));
            const __m128i g = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, 8), low_byte),
                                              _mm_and_si128(_mm_srli_epi32(c, 8), low_byte));
            const __m128i b = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, 16), low_byte),
                                              _mm_and_si128(_mm_srli_epi32(c, 16), low_byte));

            const __m128i brightest = _mm_max_epi16(_mm_max_epi16(r, g), b);
            const __m128i darkest = _mm_min_epi16(_mm_min_epi16(r, g), b);
            const __m128i background =
                _mm_or_si128(_mm_cmpgt_epi16(dark_limit, brightest), _mm_cmpgt_epi16(darkest, white_floor));
            const __m128i b10 = _mm_mullo_epi16(b, ten);

            const __m128i green_gap = _mm_cmpgt_epi16(_mm_sub_epi16(g, _mm_max_epi16(r, b)), gap);
            const __m128i green_strict = _mm_cmplt_epi16(b10, _mm_mullo_epi16(g, six));
            const __m128i green_dark = _mm_and_si128(_mm_cmplt_epi16(r, dark_red), _mm_cmplt_epi16(r, b));
            const __m128i green =
                _mm_andnot_si128(background, _mm_and_si128(green_gap, _mm_or_si128(green_strict, green_dark)));

            const __m128i red_gap = _mm_cmpgt_epi16(_mm_sub_epi16(r, _mm_max_epi16(g, b)), gap);
            const __m128i red =
                _mm_andnot_si128(background, _mm_and_si128(red_gap, _mm_cmplt_epi16(b10, _mm_mullo_epi16(r, six))));

            // A true lane is -1: subtracting counts it.
            non_bg_lanes = _mm_add_epi16(non_bg_lanes, _mm_add_epi16(background, _mm_set1_epi16(1)));
            green_lanes = _mm_sub_epi16(green_lanes, green);
            red_lanes = _mm_sub_epi16(red_lanes, red);
        }
        counts.non_bg += lane_total(non_bg_lanes);
        counts.green += lane_total(green_lanes);
        counts.red += lane_total(red_lanes);
    }
    counts += count_span(p + 4 * i, n - i, 4, t);
    return counts;
}

#else

LinePixelCounts count_span4(const std::uint8_t *p, std::size_t n, LineThresholds t) { return count_span(p, n, 4, t); }

#endif

}  // namespace

LinePixelCounts count_line_pixels(const std::uint8_t *pixels, std::size_t width, std::size_t height,
                                  std::ptrdiff_t row_stride, std::size_t pixel_stride, LineThresholds thresholds) {
    LinePixelCounts counts;
    if (width == 0 || height == 0) return counts;
    if (pixel_stride == 4 && row_stride == static_cast<std::ptrdiff_t>(width * 4)) {
        // Rows follow each other without a gap: one long span.
        return count_span4(pixels, width * height, thresholds);
    }
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t *row = pixels + static_cast<std::ptrdiff_t>(y) * row_stride;
        counts +=
            pixel_stride == 4 ? count_span4(row, width, thresholds) : count_span(row, width, pixel_stride, thresholds);
    }
    return counts;
}

}  // namespace kestrix::kernels
