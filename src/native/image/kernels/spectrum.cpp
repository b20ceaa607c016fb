#include "spectrum.hpp"

#include <algorithm>
#include <cmath>

namespace kestrix::image::kernels {

namespace {

// Neumaier summation: the low band is a sum of terms of very different size
// (the DC term dwarfs the rest), subtracted from the total afterwards.
class Accumulator {
public:
    void add(double v) {
        const double t = sum_ + v;
        if (std::abs(sum_) >= std::abs(v))
            compensation_ += (sum_ - t) + v;
        else
            compensation_ += (v - t) + sum_;
        sum_ = t;
    }
    double value() const { return sum_ + compensation_; }

private:
    double sum_ = 0.0, compensation_ = 0.0;
};

// |F(u, v)|^2 summed over u = from..to (inclusive, may be negative: index mod h).
void add_band(Accumulator &acc, const Plane<const Complex> &columns, std::size_t v, std::ptrdiff_t from,
              std::ptrdiff_t to) {
    const std::ptrdiff_t h = static_cast<std::ptrdiff_t>(columns.cols);
    for (std::ptrdiff_t u = from; u <= to; ++u)
        acc.add(std::norm(columns.at(v, static_cast<std::size_t>((u + h) % h))));
}

}  // namespace

double spectral_total(std::uint64_t pixels, std::uint64_t sum_sq) {
    __extension__ using u128 = unsigned __int128;
    return static_cast<double>(static_cast<u128>(pixels) * sum_sq);
}

void widen_rows(const Plane<const std::uint8_t> &rows, double *out) {
    for (std::size_t y = 0; y < rows.rows; ++y) {
        double *dst = out + y * rows.cols;
        if (rows.packed_rows()) {
            const std::uint8_t *src = rows.row(y);
            for (std::size_t x = 0; x < rows.cols; ++x) dst[x] = src[x];
        } else {
            for (std::size_t x = 0; x < rows.cols; ++x) dst[x] = rows.at(y, x);
        }
    }
}

void gather_low_columns(const Plane<const Complex> &spectra, std::size_t bands, const Plane<Complex> &columns,
                        std::size_t first_row) {
    for (std::size_t i = 0; i < spectra.rows; ++i)
        for (std::size_t v = 0; v < bands; ++v) columns.at(v, first_row + i) = spectra.at(i, v);
}

double low_band_energy(const Plane<const Complex> &columns, std::size_t r) {
    if (r == 0) return 0.0;
    const std::ptrdiff_t rr = static_cast<std::ptrdiff_t>(r);
    Accumulator acc;
    // v = 0 is its own mirror.
    add_band(acc, columns, 0, -rr, rr - 1);
    // For 0 < v < r both v and -v are in the band; |F(u, -v)| = |F(-u, v)|,
    // so -v contributes rows -(r-1)..r of column v.
    for (std::size_t v = 1; v < r; ++v) {
        add_band(acc, columns, v, -rr, rr - 1);
        add_band(acc, columns, v, -(rr - 1), rr);
    }
    // v = r is outside the band, its mirror -r inside.
    add_band(acc, columns, r, -(rr - 1), rr);
    return acc.value();
}

double high_freq_ratio(double total, double low) {
    if (!(total > 0.0)) return 0.0;
    // Rounding can take low a hair past the total; the energy outside is never negative.
    return std::max(total - low, 0.0) / total;
}

}  // namespace kestrix::image::kernels
