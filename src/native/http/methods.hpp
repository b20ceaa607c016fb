// The methods of HttpRequestClient, one concern per file; the module file
// assembles them into the class.
#pragma once

#include "callable/errors.hpp"
#include "callable/function.hpp"

namespace kestrix::http {

namespace nb = nanobind;
using callable::Call;
using callable::Default;
using callable::Param;
using callable::Rule;
using callable::Spec;

// `user_agent` is the default of the constructor's parameter of that name: the
// value DEFAULT_USER_AGENT has when the class is created.
const Spec &init_spec(nb::handle user_agent);
const Spec &calc_backoff_wait_spec();
const Spec &request_spec();
const Spec &post_spec();
const Spec &get_spec();

}  // namespace kestrix::http
