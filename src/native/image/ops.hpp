// The operations of ImageTool, one file each; the module file assembles them.
#pragma once

#include "callable/errors.hpp"
#include "callable/function.hpp"

namespace kestrix::image {

namespace nb = nanobind;
using callable::Call;
using callable::Default;
using callable::Param;
using callable::Rule;
using callable::Spec;

const Spec &is_plain_gray_spec();
const Spec &get_img_url_io_spec();
const Spec &get_img_url_bytes_spec();
const Spec &is_valid_image_spec();
const Spec &has_multiple_transparency_spec();
const Spec &batch_has_multiple_transparency_spec();
const Spec &trim_transparent_edges_spec();
const Spec &has_colored_lines_spec();

// Placeholder body of an operation that is not built yet.
[[noreturn]] void not_implemented(const char *qualname);

}  // namespace kestrix::image
