// Single-pass moments and counts over 8- and 16-bit planes. Sums are kept
// as integers, so a mean or variance is exact up to its final division.
#pragma once

#include <cstdint>

#include "plane.hpp"

namespace kestrix::image::kernels {

struct Moments {
    std::uint64_t count = 0;
    std::int64_t sum = 0;
    std::uint64_t sum_sq = 0;
};

// Adds every sample of the plane to `m`; blocks of one image may be added in turn.
void add_moments(Moments &m, const Plane<const std::uint8_t> &plane);
void add_moments(Moments &m, const Plane<const std::int16_t> &plane);

std::uint64_t count_nonzero(const Plane<const std::uint8_t> &plane);

double mean(const Moments &m);
// Population standard deviation (divisor N).
double population_std(const Moments &m);

}  // namespace kestrix::image::kernels
