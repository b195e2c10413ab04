// `mhost info`: the loaded modules, the node types and their parameter
// interfaces.
#pragma once

#include "engine/host_session.hpp"
#include "json/json.hpp"

#include <ostream>
#include <string>
#include <vector>

namespace mhost {

// {"modules": [...], "types": [...]} (docs/mhost.md). A type's
// "parameters" list follows its flattened template list; a folder switcher
// holds its "folders", each with the parameters it encloses, and a
// multi-parameter its "members".
// With `only`, the types named there alone (InputError naming an unknown
// one), and the modules that registered them.
Json describeInterface(Host& host, const std::vector<std::string>& only = {});

// The same description as indented text tables.
void printInterface(const Json& description, std::ostream& out);

} // namespace mhost
