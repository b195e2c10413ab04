// The numbers of mhost's command line: a number as text, and the
// FROM:TO:STEPS ranges of --driver and --time, the I:J of --frames.
#pragma once

#include "engine/evaluation.hpp"

#include <string_view>
#include <utility>

namespace mhost {

// Reads the whole of text as one number ("nan" and "inf" included); false
// for anything else.
bool parseNumberText(std::string_view text, double& out);

// Parses "FROM:TO:STEPS" (STEPS a whole number >= 1); InputError naming
// `option` otherwise.
SweepRange parseSweepRange(std::string_view text, std::string_view option = "--driver");

// Parses "I:J", two whole numbers from 0 with I <= J; InputError naming
// `option` otherwise.
std::pair<long long, long long> parseSampleSpan(std::string_view text, std::string_view option);

} // namespace mhost
