#include "cli/sweep_range.hpp"

#include "support/errors.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

namespace mhost {

bool parseNumberText(std::string_view text, double& out) {
    if (text.empty())
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

namespace {

bool parseDouble(std::string_view text, double& out) {
    return parseNumberText(text, out) && std::isfinite(out);
}

} // namespace

SweepRange parseSweepRange(std::string_view text, std::string_view option) {
    const auto fail = [&]() -> SweepRange {
        throw InputError(std::string(option) + " \"" + std::string(text) +
                         "\": expected FROM:TO:STEPS, two numbers and a whole number of steps "
                         "from 1 to " +
                         std::to_string(SweepRange::kMaxSteps));
    };
    const auto first = text.find(':');
    if (first == std::string_view::npos)
        return fail();
    const auto second = text.find(':', first + 1);
    if (second == std::string_view::npos)
        return fail();
    SweepRange range;
    const std::string_view stepsText = text.substr(second + 1);
    const auto [end, ec] =
        std::from_chars(stepsText.data(), stepsText.data() + stepsText.size(), range.steps);
    if (!parseDouble(text.substr(0, first), range.from) ||
        !parseDouble(text.substr(first + 1, second - first - 1), range.to) || stepsText.empty() ||
        ec != std::errc() || end != stepsText.data() + stepsText.size() || range.steps < 1 ||
        range.steps > SweepRange::kMaxSteps)
        return fail();
    return range;
}

} // namespace mhost

namespace mhost {

std::pair<long long, long long> parseSampleSpan(std::string_view text, std::string_view option) {
    const auto whole = [](std::string_view part, long long& out) {
        const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), out);
        return !part.empty() && ec == std::errc() && end == part.data() + part.size() && out >= 0;
    };
    const auto colon = text.find(':');
    std::pair<long long, long long> span;
    if (colon == std::string_view::npos || !whole(text.substr(0, colon), span.first) ||
        !whole(text.substr(colon + 1), span.second) || span.first > span.second)
        throw InputError(std::string(option) + " \"" + std::string(text) +
                         "\": expected I:J, the first and last samples as whole numbers from 0, "
                         "I no more than J");
    return span;
}

} // namespace mhost
