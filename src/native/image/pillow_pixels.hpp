// Reading the pixels of a decoded Pillow image where they lie, so that a
// pixel pass needs no full-size copy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ops.hpp"

namespace kestrix::image {

struct PixelRows {
    const std::uint8_t *pixels = nullptr;
    std::size_t width = 0;
    std::size_t height = 0;
    std::ptrdiff_t row_stride = 0;
    std::size_t pixel_stride = 0;
};

// The pixels of an "RGB" or "RGBA" image, 4 bytes each (red, green, blue,
// then alpha or padding), or of an "L" or "P" image, 1 byte each. Pillow
// exports a single-block image through the Arrow C data interface without a
// copy; a large image spread over several blocks, or a Pillow that does not
// export, is read in strips of rows copied with crop, each small enough to
// stay in cache.
class PillowPixels {
public:
    // `image` must be loaded and in `mode`: "RGB", "RGBA", "L" or "P".
    PillowPixels(nb::object image, const char *mode);

    std::size_t width() const { return width_; }
    std::size_t height() const { return height_; }

    // Calls `visit(rows, first_row)` with the GIL released for consecutive
    // pieces of rows [begin, end): top-down, or bottom-up when `from_bottom`.
    // Stops as soon as `visit` returns true; returns whether it did.
    template <class Visit>
    bool visit(std::size_t begin, std::size_t end, bool from_bottom, Visit &&visit);

private:
    struct Strip {
        nb::object image, keep_alive[2];
        PixelRows rows;
    };

    Strip strip(std::size_t begin, std::size_t end);
    std::size_t strip_height() const;

    nb::object image_;
    const char *mode_;
    std::size_t pixel_bytes_;
    std::size_t width_ = 0, height_ = 0;
    // The Arrow capsules own a reference to Pillow's pixel memory.
    nb::object schema_, array_;
    PixelRows whole_;
    bool exported_ = false;
    bool strips_export_ = true;
};

template <class Visit>
bool PillowPixels::visit(std::size_t begin, std::size_t end, bool from_bottom, Visit &&visit) {
    if (begin >= end || width_ == 0) return false;
    if (exported_) {
        PixelRows rows = whole_;
        rows.pixels += static_cast<std::ptrdiff_t>(begin) * rows.row_stride;
        rows.height = end - begin;
        nb::gil_scoped_release release;
        return visit(static_cast<const PixelRows &>(rows), begin);
    }
    const std::size_t step = strip_height();
    for (std::size_t done = 0; done < end - begin;) {
        const std::size_t n = step < end - begin - done ? step : end - begin - done;
        const std::size_t first = from_bottom ? end - done - n : begin + done;
        const Strip piece = strip(first, first + n);
        bool stop;
        {
            nb::gil_scoped_release release;
            stop = visit(piece.rows, first);
        }
        if (stop) return true;
        done += n;
    }
    return false;
}

}  // namespace kestrix::image
