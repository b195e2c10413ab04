#include "cli/reference.hpp"

#include "cli/command_table.hpp"
#include "edit/edit_server.hpp"
#include "engine/script.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"
#include "validate/checks.hpp"
#include "json/json.hpp"

#include <algorithm>
#include <functional>
#include <set>

namespace mhost {

namespace {

// A Markdown table cell: pipes escaped, line breaks as spaces.
std::string cell(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '|')
            out += "\\|";
        else if (c == '\n')
            out += ' ';
        else
            out += c;
    }
    return out;
}

// How an option is written on the command line, as --help shows it:
// "--format TEXT:{table,csv,json}", "SCENE", "--ease".
std::string usageOf(const CLI::Option& option) {
    std::string usage = option.get_positional() ? option.get_name(true) : option.get_name();
    if (option.get_expected_max() > 0 && !option.get_positional() &&
        !option.get_type_name().empty())
        usage += " " + option.get_type_name();
    return usage;
}

// What an option does, with its default and whether it is required.
std::string meaningOf(const CLI::Option& option) {
    std::string meaning = option.get_description();
    if (option.get_required())
        meaning += " (required)";
    else if (!option.get_default_str().empty() && option.get_expected_max() > 0)
        meaning += " (default: " + option.get_default_str() + ")";
    return meaning;
}

void optionsTable(const CLI::App& app, std::ostream& out) {
    out << "| option | meaning |\n|---|---|\n";
    for (const CLI::Option* option : app.get_options()) {
        if (option == app.get_help_ptr() || option == app.get_version_ptr())
            continue;
        out << "| `" << cell(usageOf(*option)) << "` | " << cell(meaningOf(*option)) << " |\n";
    }
}

void commandsReference(std::ostream& out) {
    const CommandLine line;
    out << "| command | what it does |\n|---|---|\n";
    for (const CommandLine::Chosen& c : line.chosen)
        out << "| `mhost " << c.command->name << "` | " << cell(c.command->help) << " |\n";
    out << "\nOptions of mhost itself, before the command: `--help`, `--version`, and\n\n";
    optionsTable(line.app, out);
    for (const CommandLine::Chosen& c : line.chosen) {
        out << "\n#### `mhost " << c.command->name << "`\n\n";
        optionsTable(*c.sub, out);
    }
}

const char* useName(ActionUse use) {
    switch (use) {
    case ActionUse::Edit:
        return "edit";
    case ActionUse::Report:
        return "report";
    case ActionUse::File:
        return "file";
    }
    return "";
}

void actionsReference(std::ostream& out) {
    out << "| op | example | what it does | kind |\n|---|---|---|---|\n";
    for (const ActionKind& kind : actionKinds())
        out << "| `" << kind.op << "` | `" << cell(kind.example) << "` | " << cell(kind.help)
            << " | " << useName(kind.use) << " |\n";
    out << "\nKinds: *edit* changes the scene and names no file (the editor makes these), "
           "*report* prints what it reads, *file* reads or writes the file it names.\n";
}

void checksReference(std::ostream& out) {
    out << "| check | what it checks |\n|---|---|\n";
    for (const validation::Check& check : validation::checks())
        out << "| `" << check.name << "` | " << cell(check.sentence) << " |\n";
}

// libFuzzer's dictionary entries for the words of the script: every op and
// every field name its examples use; and the paths the editor answers.
void fuzzDictionary(std::ostream& out) {
    std::set<std::string> words;
    for (const ActionKind& kind : actionKinds()) {
        const Json example = parseJson(kind.example, kind.op);
        for (const auto& [key, value] : example.items()) {
            words.insert(key);
            if (key == "op")
                words.insert(value.get<std::string>());
        }
    }
    out << "# The script's words, from its table of actions, and the editor's\n"
           "# routes, from its table (mhost-reference fuzz-dict).\n";
    for (const std::string& word : words)
        out << "\"\\\"" << word << "\\\"\"\n";
    for (const std::string& path : EditServer::paths())
        out << '"' << path << "\"\n";
}

// --- The man page -------------------------------------------------------------

// Text for roff: backslashes and hyphens escaped, and a line that would
// start with a control character guarded.
std::string roff(std::string_view text) {
    std::string out;
    bool lineStart = true;
    for (const char c : text) {
        if (lineStart && (c == '.' || c == '\''))
            out += "\\&";
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
        lineStart = c == '\n';
    }
    return out;
}

// An option as the man page lists it: its names in bold, its value in
// italics.
std::string manUsage(const CLI::Option& option) {
    if (option.get_positional())
        return "\\fI" + roff(option.get_name(true)) + "\\fR";
    std::string usage = "\\fB" + roff(option.get_name()) + "\\fR";
    if (option.get_expected_max() > 0 && !option.get_type_name().empty())
        usage += " \\fI" + roff(option.get_type_name()) + "\\fR";
    return usage;
}

void manOptions(const CLI::App& app, std::ostream& out) {
    for (const CLI::Option* option : app.get_options()) {
        if (option == app.get_help_ptr() || option == app.get_version_ptr())
            continue;
        out << ".TP\n" << manUsage(*option) << "\n" << roff(meaningOf(*option)) << "\n";
    }
}

void manPage(std::ostream& out) {
    const CommandLine line;
    out << ".\\\" The man page of mhost, made from its command table (mhost-reference man).\n"
        << ".TH MHOST 1 \"\" \"mhost " << MHOST_VERSION << "\" \"User Commands\"\n"
        << ".SH NAME\nmhost \\- " << roff(kSummary) << "\n"
        << ".SH SYNOPSIS\n.B mhost\n[\\fB\\-\\-module\\fR \\fIPATH\\fR]... \\fICOMMAND\\fR "
           "[\\fIOPTIONS\\fR]\n.br\n.B mhost\n\\fB\\-\\-help\\fR | \\fB\\-\\-version\\fR | "
           "\\fICOMMAND\\fR \\fB\\-\\-help\\fR\n"
        << ".SH DESCRIPTION\nmhost is the stand-in host of the Morvane 3D host's plug-in modules: "
           "it "
           "loads modules, builds, edits (also by hand, in a browser), cooks and bakes scenes of "
           "object nodes, and checks modules the way the host relies on them.\n"
        << ".SH OPTIONS\n.TP\n\\fB\\-\\-help\\fR\nPrint the help and exit.\n"
        << ".TP\n\\fB\\-\\-version\\fR\nPrint the version and exit.\n";
    manOptions(line.app, out);
    out << ".SH COMMANDS\n";
    for (const CommandLine::Chosen& c : line.chosen) {
        out << ".SS \"mhost " << c.command->name << "\"\n" << roff(c.command->help) << ".\n";
        manOptions(*c.sub, out);
    }
    out << ".SH SCRIPT ACTIONS\nScripts (\\fBmhost run\\fR) are JSON arrays of actions:\n";
    for (const ActionKind& kind : actionKinds())
        out << ".TP\n\\fB" << roff(kind.op) << "\\fR\n"
            << roff(kind.example) << "\n.br\n"
            << roff(kind.help) << "\n";
    out << ".SH EXIT STATUS\n"
        << roff(kExitStatusHelp) << ".\n"
        << ".SH ENVIRONMENT\n.TP\n.B MORVANE_DSO_PATH\n"
        << roff(kModulesHelp) << "\n"
        << ".SH FILES\n.TP\n.I lib/morvane/modules\n"
        << "The default module folder, beside the SDK library libmorvane.so (in the Debian "
           "packages, /usr/lib/x86_64\\-linux\\-gnu/morvane/modules).\n"
        << ".TP\n.I .NAME.mhost\\-XXXXXX\nA temporary file beside an output file NAME while "
           "it is written; renamed over NAME when complete, removed otherwise.\n"
        << ".SH SEE ALSO\nThe manuals in /usr/share/doc/mhost and, for module authors, the "
           "libmorvane\\-dev package.\n";
}

// --- The bash completion ------------------------------------------------------

// What an option's value is, for completing it: a file, one of some words,
// or anything (nothing to offer).
std::string valueCompletion(const CLI::Option& option) {
    const std::string type = option.get_type_name();
    const auto open = type.find('{'), close = type.find('}');
    if (open != std::string::npos && close != std::string::npos) {
        std::string words = type.substr(open + 1, close - open - 1);
        std::replace(words.begin(), words.end(), ',', ' ');
        return "COMPREPLY=($(compgen -W \"" + words + "\" -- \"$cur\"))";
    }
    const std::string name = option.get_positional() ? option.get_name(true) : type;
    if (name == "TYPE")
        return "COMPREPLY=($(compgen -W \"$(\"${COMP_WORDS[0]}\" info 2>/dev/null | sed -n "
               "'s/^Node type \"\\([^\"]*\\)\".*/\\1/p')\" -- \"$cur\"))";
    const bool file = name.rfind("FILE", 0) == 0 || name == "IN" || name == "OUT" ||
                      name == "PATH" || name == "SCENE" || name == "SCRIPT" || name == "MODULE";
    if (file)
        return "compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\"))";
    return "COMPREPLY=()";
}

void bashCompletion(std::ostream& out) {
    const CommandLine line;
    std::string commands;
    std::set<std::string> valued{"--module"}; // options whose next word is their value
    for (const CommandLine::Chosen& c : line.chosen) {
        commands += std::string(commands.empty() ? "" : " ") + c.command->name;
        for (const CLI::Option* option : c.sub->get_options())
            if (!option->get_positional() && option->get_expected_max() > 0)
                valued.insert(option->get_name());
    }
    std::string skipped;
    for (const std::string& option : valued)
        skipped += (skipped.empty() ? "" : "|") + option;
    out << "# bash completion of mhost, made from its command table (mhost-reference bash).\n"
        << "_mhost() {\n"
        << "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
        << "    local command=\"\" i positional=0\n"
        << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        << "        case ${COMP_WORDS[i]} in\n"
        << "            " << skipped << ") ((i++)) ;;\n"
        << "            -*) ;;\n"
        << "            *) if [[ -z $command ]]; then command=${COMP_WORDS[i]}; "
           "else ((positional++)); fi ;;\n"
        << "        esac\n"
        << "    done\n"
        << "    # The value of an option that takes one.\n"
        << "    case \"$command $prev\" in\n"
        << "        \" --module\") " << valueCompletion(*line.app.get_option("--module"))
        << "; return ;;\n";
    for (const CommandLine::Chosen& c : line.chosen)
        for (const CLI::Option* option : c.sub->get_options())
            if (!option->get_positional() && option->get_expected_max() > 0)
                out << "        \"" << c.command->name << " " << option->get_name() << "\") "
                    << valueCompletion(*option) << "; return ;;\n";
    out << "    esac\n"
        << "    if [[ -z $command ]]; then\n"
        << "        COMPREPLY=($(compgen -W \"" << commands
        << " --module --help --version\" -- \"$cur\"))\n"
        << "        return\n"
        << "    fi\n"
        << "    case $command in\n";
    for (const CommandLine::Chosen& c : line.chosen) {
        std::string options = "--help";
        std::vector<const CLI::Option*> positionals;
        for (const CLI::Option* option : c.sub->get_options()) {
            if (option->get_positional())
                positionals.push_back(option);
            else if (option != c.sub->get_help_ptr())
                options += " " + option->get_name();
        }
        out << "        " << c.command->name << ")\n"
            << "            if [[ $cur == -* ]]; then\n"
            << "                COMPREPLY=($(compgen -W \"" << options << "\" -- \"$cur\"))\n";
        for (std::size_t p = 0; p < positionals.size(); ++p) {
            // The last positional takes every word after it (info TYPE...).
            const bool last = p + 1 == positionals.size();
            out << "            elif ((positional " << (last ? ">=" : "==") << " " << p << "));"
                << " then\n                " << valueCompletion(*positionals[p]) << "\n";
        }
        out << "            fi ;;\n";
    }
    out << "    esac\n"
        << "}\n"
        << "complete -F _mhost mhost\n";
}

struct Topic {
    const char* name;
    void (*write)(std::ostream&);
};

const Topic kTopics[] = {
    {"commands", commandsReference},
    {"actions", actionsReference},
    {"checks", checksReference},
    {"fuzz-dict", fuzzDictionary},
    {"man", manPage},
    {"bash", bashCompletion},
};

} // namespace

std::vector<std::string> referenceTopics() {
    std::vector<std::string> names;
    for (const Topic& topic : kTopics)
        names.emplace_back(topic.name);
    return names;
}

void writeReference(std::string_view topic, std::ostream& out) {
    for (const Topic& t : kTopics)
        if (topic == t.name) {
            t.write(out);
            return;
        }
    throw InputError("no reference topic " + quote(topic));
}

} // namespace mhost
