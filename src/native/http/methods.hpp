// The methods of HttpRequestClient, one concern per file; the module file
// assembles them into the class.
#pragma once

#include "callable/errors.hpp"
#include "callable/function.hpp"

namespace kestrix::http {

namespace nb = nanobind;
using callable::Call;
using callable::Default;
using callable::Definition;
using callable::Param;
using callable::Rule;

// `user_agent` is the default of the constructor's parameter of that name: the
// value DEFAULT_USER_AGENT has when the class is created.
const Definition &init_definition(nb::handle user_agent);
const Definition &calc_backoff_wait_definition();
const Definition &request_definition();
const Definition &post_definition();
const Definition &get_definition();

}  // namespace kestrix::http
