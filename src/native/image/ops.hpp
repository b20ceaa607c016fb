// The operations of ImageTool, one file each; the module file assembles them.
#pragma once

#include "callable/errors.hpp"
#include "callable/function.hpp"

namespace kestrix::image {

namespace nb = nanobind;
using callable::Call;
using callable::Default;
using callable::Definition;
using callable::Param;
using callable::Rule;

const Definition &is_plain_gray_definition();
const Definition &get_img_url_io_definition();
const Definition &get_img_url_bytes_definition();
const Definition &is_valid_image_definition();
const Definition &has_multiple_transparency_definition();
const Definition &batch_has_multiple_transparency_definition();
const Definition &trim_transparent_edges_definition();
const Definition &has_colored_lines_definition();

// Placeholder body of an operation that is not built yet.
[[noreturn]] void not_implemented(const char *qualname);

}  // namespace kestrix::image
