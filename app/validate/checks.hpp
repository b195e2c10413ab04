// The checks of `mhost validate`: what a host relies on a module for, one
// check per sentence. The runner (validate/runner.hpp) runs each in a child
// process of its own; a check only says pass, fail or skip, by returning or
// throwing.
#pragma once

#include "validate/check.hpp"

#include <span>

namespace mhost::validation {

// Every check, in the order they run.
std::span<const Check> checks();

} // namespace mhost::validation
