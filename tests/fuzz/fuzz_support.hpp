// What the fuzz targets share: one host with the build's modules loaded, and
// the limit that keeps an input from asking for more memory than a fuzzing
// run allows.
#pragma once

#include "engine/host_session.hpp"
#include "json/json.hpp"

#include <string_view>

namespace mhost::fuzz {

// The host of this process: the host's own types and every module of the
// build's module folder (MORVANE_DSO_PATH, when set, wins).
Host& host();

// Instance counts above this are legal (the host allows 65536) but make a
// single input cost hundreds of megabytes; the targets skip such inputs, so
// that a run finds faults rather than its own memory limit.
inline constexpr int kMaxFuzzInstances = 64;

// Whether any multi-parameter count in a scene document exceeds the limit.
bool sceneAsksTooMuch(const Json& scene);
// The same for text that is not a valid document: whether any run of digits in
// it reads as more than the limit.
bool textAsksTooMuch(std::string_view text);

} // namespace mhost::fuzz
