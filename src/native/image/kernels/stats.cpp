#include "stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrix::image::kernels {

namespace {

// 255^2 * 65536 < 2^32: a run this long sums squares in 32 bits, which
// lets the compiler vectorise the widening.
constexpr std::size_t u8_run = 65536;

void add_packed(Moments &m, const std::uint8_t *p, std::size_t n) {
    for (std::size_t start = 0; start < n; start += u8_run) {
        const std::size_t end = std::min(n, start + u8_run);
        std::uint32_t sum = 0, sum_sq = 0;
        for (std::size_t i = start; i < end; ++i) {
            const std::uint32_t v = p[i];
            sum += v;
            sum_sq += v * v;
        }
        m.sum += sum;
        m.sum_sq += sum_sq;
    }
}

}  // namespace

void add_moments(Moments &m, const Plane<const std::uint8_t> &plane) {
    for (std::size_t y = 0; y < plane.rows; ++y) {
        if (plane.packed_rows()) {
            add_packed(m, plane.row(y), plane.cols);
        } else {
            // One channel of interleaved pixels: step a byte pointer.
            const auto *p = reinterpret_cast<const char *>(plane.row(y));
            std::uint64_t sum = 0, sum_sq = 0;
            for (std::size_t x = 0; x < plane.cols; ++x, p += plane.col_stride) {
                const std::uint64_t v = static_cast<std::uint8_t>(*p);
                sum += v;
                sum_sq += v * v;
            }
            m.sum += static_cast<std::int64_t>(sum);
            m.sum_sq += sum_sq;
        }
    }
    m.count += static_cast<std::uint64_t>(plane.rows) * plane.cols;
}

void add_moments(Moments &m, const Plane<const std::int16_t> &plane) {
    for (std::size_t y = 0; y < plane.rows; ++y) {
        std::int64_t sum = 0;
        std::uint64_t sum_sq = 0;
        if (plane.packed_rows()) {
            const std::int16_t *p = plane.row(y);
            for (std::size_t x = 0; x < plane.cols; ++x) {
                const std::int64_t v = p[x];
                sum += v;
                sum_sq += static_cast<std::uint64_t>(v * v);
            }
        } else {
            for (std::size_t x = 0; x < plane.cols; ++x) {
                const std::int64_t v = plane.at(y, x);
                sum += v;
                sum_sq += static_cast<std::uint64_t>(v * v);
            }
        }
        m.sum += sum;
        m.sum_sq += sum_sq;
    }
    m.count += static_cast<std::uint64_t>(plane.rows) * plane.cols;
}

std::uint64_t count_nonzero(const Plane<const std::uint8_t> &plane) {
    std::uint64_t count = 0;
    for (std::size_t y = 0; y < plane.rows; ++y) {
        std::size_t row_count = 0;
        if (plane.packed_rows()) {
            const std::uint8_t *p = plane.row(y);
            for (std::size_t x = 0; x < plane.cols; ++x) row_count += p[x] != 0;
        } else {
            for (std::size_t x = 0; x < plane.cols; ++x) row_count += plane.at(y, x) != 0;
        }
        count += row_count;
    }
    return count;
}

double mean(const Moments &m) {
    if (m.count == 0) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(m.sum) / static_cast<double>(m.count);
}

double population_std(const Moments &m) {
    if (m.count == 0) return std::numeric_limits<double>::quiet_NaN();
    // N * sum(x^2) - sum(x)^2 = N^2 * variance, exact in 128 bits; it is
    // never negative (Cauchy-Schwarz), so no cancellation can creep in.
    __extension__ using i128 = __int128;
    const i128 n = static_cast<i128>(m.count);
    const i128 spread = n * static_cast<i128>(m.sum_sq) - static_cast<i128>(m.sum) * m.sum;
    const double n_d = static_cast<double>(m.count);
    return std::sqrt(static_cast<double>(spread) / (n_d * n_d));
}

}  // namespace kestrix::image::kernels
