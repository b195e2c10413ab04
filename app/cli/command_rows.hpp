// What the rows of mhost's command table (command_table.hpp) make of
// their subcommands, for the commands whose options and runs live in
// files of their own: each makes the command's options, adds them to its
// subcommand and returns how it runs.
#pragma once

#include "cli/command_table.hpp"

#include <CLI/CLI.hpp>

#include <memory>

namespace mhost {

// A row's add from a command's parts: the options it parses (Options),
// what adds them to the subcommand (Add), the files it reads and writes
// (Plan) and what runs the command with them (Run).
template <typename Options, void (*Add)(CLI::App&, Options&), void (*Plan)(Options&, FilePlan&),
          int (*Run)(Host&, const Options&)>
CommandRun bind(CLI::App& sub) {
    auto options = std::make_shared<Options>();
    Add(sub, *options);
    return {[options](FilePlan& plan) { Plan(*options, plan); },
            [options](Host& host) { return Run(host, *options); }};
}

CommandRun bakeCommand(CLI::App& sub); // bake_command.cpp
CommandRun editCommand(CLI::App& sub); // edit_commands.cpp
CommandRun keysCommand(CLI::App& sub); // edit_commands.cpp

} // namespace mhost
