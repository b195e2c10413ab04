// app/cli: the top layer. The command table, options and their parsing
// (this header), FROM:TO:STEPS ranges (sweep_range.hpp) and main.cpp. It
// may include every other layer.
//
// The mhost command line.
#pragma once

namespace mhost {

// Parses the command line, runs the command and returns the exit status
// (0 success, 1 an action failed while it ran, 2 bad input). Messages go to
// standard error, results to standard output.
int runCommandLine(int argc, char** argv);

} // namespace mhost
