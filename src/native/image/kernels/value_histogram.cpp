#include "value_histogram.hpp"

namespace kestrix::kernels {

namespace {

// Four interleaved tables, so that a run of equal values (the common case
// in flat images) does not wait on its own previous increment.
struct Tables {
    std::uint32_t counts[4][256] = {};

    void add(const std::uint8_t *p, std::size_t n) {
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            ++counts[0][p[i]];
            ++counts[1][p[i + 1]];
            ++counts[2][p[i + 2]];
            ++counts[3][p[i + 3]];
        }
        for (; i < n; ++i) ++counts[0][p[i]];
    }

    void drain(ValueHistogram &into) {
        for (int v = 0; v < 256; ++v) {
            into[v] += std::uint64_t(counts[0][v]) + counts[1][v] + counts[2][v] + counts[3][v];
            counts[0][v] = counts[1][v] = counts[2][v] = counts[3][v] = 0;
        }
    }
};

// Each 32-bit table entry takes at most this many increments between drains.
constexpr std::size_t kDrainEvery = std::size_t(1) << 31;

}  // namespace

ValueHistogram count_values(const std::uint8_t *pixels, std::size_t width, std::size_t height,
                            std::ptrdiff_t row_stride) {
    ValueHistogram histogram{};
    Tables tables;
    std::size_t pending = 0;
    const bool contiguous = row_stride == static_cast<std::ptrdiff_t>(width);
    const std::size_t span = contiguous ? width * height : width;
    const std::size_t spans = contiguous ? 1 : height;
    for (std::size_t y = 0; y < spans; ++y) {
        const std::uint8_t *row = pixels + static_cast<std::ptrdiff_t>(y) * row_stride;
        for (std::size_t done = 0; done < span;) {
            const std::size_t n = span - done < kDrainEvery - pending ? span - done : kDrainEvery - pending;
            tables.add(row + done, n);
            done += n;
            pending += n;
            if (pending == kDrainEvery) {
                tables.drain(histogram);
                pending = 0;
            }
        }
    }
    tables.drain(histogram);
    return histogram;
}

}  // namespace kestrix::kernels
