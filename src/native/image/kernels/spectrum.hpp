// Energy of the unnormalised 2-D DFT of an 8-bit image, split into the low
// band (row and column frequencies both in [-r, r-1]) and the rest, without
// building the full spectrum. The FFTs themselves are done by the caller:
// real FFTs of row blocks, then FFTs along the gathered low-band columns.
#pragma once

#include <complex>
#include <cstdint>

#include "plane.hpp"

namespace kestrix::image::kernels {

using Complex = std::complex<double>;

// Sum of |F|^2 over the whole spectrum, by Parseval: h*w * sum of squared pixels.
double spectral_total(std::uint64_t pixels, std::uint64_t sum_sq);

// Copies 8-bit rows into packed doubles (rows.rows x rows.cols), the input of
// the row FFTs.
void widen_rows(const Plane<const std::uint8_t> &rows, double *out);

// Row spectra of rows first_row.. (real FFT outputs, frequencies 0..bands-1
// in the columns) stored transposed: columns.at(v, first_row + i) = spectra.at(i, v).
void gather_low_columns(const Plane<const Complex> &spectra, std::size_t bands, const Plane<Complex> &columns,
                        std::size_t first_row);

// Energy of the low band of half-width r from `columns`: row v (0..r) holds
// the column FFT (length h) of the row spectra at column frequency v. Column
// frequencies -1..-r follow from conjugate symmetry of a real image.
double low_band_energy(const Plane<const Complex> &columns, std::size_t r);

// Share of the energy outside the low band; 0 for an all-black image.
double high_freq_ratio(double total, double low);

}  // namespace kestrix::image::kernels
