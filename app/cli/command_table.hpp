// mhost's commands: one table, from which the parser is built; --help, the
// error messages that list the commands, the manual's tables, the man page
// and the shell completion all come from the parser it builds.
#pragma once

#include "engine/host_session.hpp"
#include "support/file_plan.hpp"

#include <CLI/CLI.hpp>

#include <functional>
#include <span>
#include <string>
#include <vector>

namespace mhost {

// A command whose options are bound: the files it reads and writes
// (checked against each other before any work is done: support/file_plan.hpp)
// and what runs it once they are parsed.
struct CommandRun {
    // Adds the files to the plan, reading what it must to know them (a
    // script's actions, kept for run). InputError for a bad one.
    std::function<void(FilePlan&)> files;
    std::function<int(Host&)> run;
};

// One row of the table.
struct Command {
    const char* name;
    const char* help; // one line, as --help lists it
    // Whether the modules of the search path and --module are loaded into
    // the host before the command runs.
    bool loadsModules;
    // Whether the command's outputs are put in place together when it ends
    // (an OutputBatch): every command's but the editor's, which saves when
    // the user asks.
    bool outputsAtEnd;
    // Makes the command's options and adds them to its subcommand.
    CommandRun (*add)(CLI::App& subcommand);
};

std::span<const Command> commands();

// What mhost is, where it finds modules and what its exit statuses say:
// --help's text, which the man page gives as well.
inline constexpr const char* kSummary =
    "loads plug-in modules into a stand-in host, builds, edits and cooks scenes and shows what "
    "comes out";
inline constexpr const char* kModulesHelp =
    "Modules are loaded from MORVANE_DSO_PATH (folders separated by ':', '&' the default "
    "folder) or the default folder, lib/morvane/modules beside the SDK library.";
inline constexpr const char* kExitStatusHelp =
    "0 success, 1 an action failed while it ran, 2 bad input";

// mhost's parser: the program's own options, then one subcommand for each
// row of commands(), in order.
struct CommandLine {
    CommandLine();
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    CLI::App app;
    std::vector<std::string> modules; // --module
    struct Chosen {
        CLI::App* sub;
        const Command* command;
        CommandRun run;
    };
    std::vector<Chosen> chosen; // one per row
};

} // namespace mhost
