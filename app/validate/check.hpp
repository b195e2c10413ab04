// What a check of `mhost validate` is and what it works on
// (validate/checks.hpp lists the checks).
#pragma once

#include "engine/host_session.hpp"

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace mhost::validation {

// A check that found a fault. The message names the type, the parameter and
// the value at fault, so that `--seed` reproduces it.
class CheckFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A check that does not apply (the module has no buttons, say).
class CheckSkipped : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a check works on: a host with the module under test loaded (and
// nothing else but the host's own types), the types the module registered,
// and a random source seeded from the run's seed and the check's name.
struct Subject {
    Host& host;
    std::string modulePath;
    std::vector<OP_Operator*> types; // empty for checks that load the module themselves
    std::uint64_t seed;
    std::mt19937_64 random;
};

struct Check {
    const char* name;
    const char* sentence;
    // Whether the runner loads the module before the check runs (every check
    // but the one that checks loading itself).
    bool needsModule;
    void (*run)(Subject&);
};

} // namespace mhost::validation
