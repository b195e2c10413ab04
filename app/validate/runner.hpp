// app/validate: the module validator. The runner, its child processes and
// report writers (this header) and the checks (checks.hpp). It includes
// app/engine and below, never app/output.
//
// mhost validate: runs the checks of checks.hpp against modules and reports
// them as text, JSON or JUnit XML.
//
// Each check runs in a child process of its own (fork), with the module
// loaded afresh, so that a module that crashes, aborts or hangs is reported
// ("crash" with its signal, or "fail" after the time limit) and the run goes
// on. The module is never loaded into the process that reports. The child
// leads a process group of its own, which is killed whole when the check
// ends, so nothing a module starts outlives its check; and it runs under a
// memory and a CPU-time limit, each reported by name when it is reached.
#pragma once

#include "support/file_plan.hpp"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace mhost {

struct ValidateOptions {
    std::vector<std::string> modules;  // paths, or file names in the search path
    std::vector<std::string> include;  // run only checks matching one (glob; a word matches within)
    std::vector<std::string> exclude;  // leave out checks matching one
    std::optional<std::uint64_t> seed; // the run's seed; random when not given
    bool json = false;                 // one JSON document per module on standard output
    std::string junit;                 // also write JUnit XML here
    bool inProcess = false;            // run the checks in this process (for debuggers)
    double timeout = 60.0;             // seconds a check may take in a child process
    // Bytes of address space a check's process may map beyond what it held
    // when the check began (RLIMIT_AS), and the CPU seconds it may use
    // (RLIMIT_CPU; the timeout when not given). Checks in a child only.
    std::uint64_t memoryLimit = std::uint64_t(4) << 30;
    std::optional<double> cpuLimit;
    bool listTests = false; // print each check's name and sentence, and stop
};

// The module file a MODULE argument names: a path, or a file name found in
// the module search path. InputError when there is none.
std::string moduleFile(const std::string& module);

// Adds the module files validation reads and the report it writes to plan.
void planValidateFiles(const ValidateOptions& options, FilePlan& plan);

// Runs the validation and prints its report on out. Returns 0 when every
// check passed or was skipped, 1 when any failed or crashed. Bad usage (no
// such module file, a pattern that matches nothing) throws InputError.
int runValidate(const ValidateOptions& options, std::ostream& out);

} // namespace mhost
