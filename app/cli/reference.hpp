// Reference texts made from mhost's own tables, so that they cannot drift
// from the code: the manual's tables (Markdown) of the commands and their
// options, the script's actions and the validator's checks; the fuzzers'
// dictionary of the script's words; the man page (roff) and the bash
// completion. The build makes them with the mhost-reference tool;
// scripts/docs-tables checks the manual against them.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace mhost {

// The topics writeReference knows, in order.
std::vector<std::string> referenceTopics();

// Writes the topic's text to out; InputError for an unknown topic.
void writeReference(std::string_view topic, std::ostream& out);

} // namespace mhost
