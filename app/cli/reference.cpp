#include "cli/reference.hpp"

#include "cli/command_table.hpp"
#include "edit/edit_server.hpp"
#include "engine/script.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"
#include "validate/checks.hpp"
#include "json/json.hpp"

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

struct Topic {
    const char* name;
    void (*write)(std::ostream&);
};

const Topic kTopics[] = {
    {"commands", commandsReference},
    {"actions", actionsReference},
    {"checks", checksReference},
    {"fuzz-dict", fuzzDictionary},
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
