#include "cli/command_line.hpp"

#include "cli/command_rows.hpp"
#include "cli/command_table.hpp"
#include "cli/sweep_range.hpp"
#include "edit/edit_serve.hpp"
#include "edit/edit_session.hpp"
#include "engine/bake.hpp"
#include "engine/demo.hpp"
#include "engine/evaluation.hpp"
#include "engine/key_tools.hpp"
#include "engine/rig_capture.hpp"
#include "engine/scene_io.hpp"
#include "engine/script.hpp"
#include "output/bake_files.hpp"
#include "output/gltf_export.hpp"
#include "output/html_viewer.hpp"
#include "output/interface_info.hpp"
#include "output/report_format.hpp"
#include "output/svg_plot.hpp"
#include "support/errors.hpp"
#include "support/file_plan.hpp"
#include "support/output_file.hpp"
#include "support/process.hpp"
#include "support/text.hpp"
#include "validate/runner.hpp"
#include "json/json.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#ifndef MHOST_VERSION
#define MHOST_VERSION "0.0.0"
#endif

namespace mhost {

namespace {

// What --help says after the commands: the script's actions, from their
// table, and the scene file's layout.
std::string formatsHelp() {
    std::string text =
        "Script (mhost run SCRIPT): a JSON array of actions, or {\"actions\": [...]}.\n"
        "Times default to 0; {\"comment\": \"...\"} entries are skipped.\n";
    for (const ActionKind& kind : actionKinds())
        text += "  " + std::string(kind.example) + "\n      " + kind.help + "\n";
    return text +
           R"(Scene file: {"format": "mhost-scene", "version": 1, "modules": ["OBJ_Quenlo.so"],
  "nodes": [{"name", "type", "inputs": [null, "dummy"], "display", "selectable",
             "parms": {"token": value, ...}}]}
  a value is a number, "nan"/"inf"/"-inf", a [[time, value], ...] keyframe list or text;
  a parameter of several components is an array of them; a multi-parameter its count.
Full description and a worked example: docs/mhost.md, examples/.)";
}

// The files demo and eval write besides their report: the plot, the glTF
// animation and the viewer.
struct SweepFiles {
    std::string plot;
    std::string gltf;
    std::string html;
};

struct DemoOptions {
    std::string interp = "euler";
    bool ease = false;
    int steps = 20;
    std::string format = "table";
    SweepFiles files;
};
struct InfoOptions {
    bool json = false;
    std::vector<std::string> types;
};
struct RunOptions {
    std::string script;
    std::string scene;           // start from it
    std::string save;            // save the scene here at the end
    std::vector<Action> actions; // the script's, read when the files are planned
};
struct EvalOptions {
    std::string scene;
    std::string node;
    std::string time = "0";
    std::string driver;
    std::string format = "table";
    SweepFiles files;
};

// The files each command reads and writes, in the order it uses them,
// for the one check before any work (support/file_plan.hpp).
constexpr auto kScene = FilePlan::Kind::Scene;

void planSweepFiles(const SweepFiles& o, FilePlan& plan) {
    plan.writes(o.plot, "--plot");
    plan.writes(o.gltf, "--gltf");
    plan.writes(o.html, "--html");
}
void planFiles(DemoOptions& o, FilePlan& plan) {
    planSweepFiles(o.files, plan);
}
void planFiles(InfoOptions&, FilePlan&) {}
void planFiles(RunOptions& o, FilePlan& plan) {
    plan.reads(o.script, "SCRIPT");
    o.actions = parseScriptText(readTextFile(o.script), o.script);
    plan.reads(o.scene, "--scene", kScene);
    planScriptFiles(o.actions, o.script, plan);
    plan.writes(o.save, "--save", kScene);
}
void planFiles(EvalOptions& o, FilePlan& plan) {
    plan.reads(o.scene, "SCENE", kScene);
    planSweepFiles(o.files, plan);
}
void planFiles(ValidateOptions& o, FilePlan& plan) {
    planValidateFiles(o, plan);
}

const auto kFormats = CLI::IsMember({"table", "csv", "json"});

// InputError for a file name that names no format of its option; checked
// before any cook.
void checkSweepFileNames(const SweepFiles& o) {
    if (!o.gltf.empty())
        isBinaryGltf(o.gltf);
}

void writeSweepFiles(OBJ_Node& node, const EvalReport& report, const SweepFiles& o) {
    if (!o.plot.empty())
        writeFileAtomically(o.plot, renderSweepSvg(report));
    if (o.gltf.empty() && o.html.empty())
        return;
    const RigCapture capture = captureRig(node, report);
    if (!o.gltf.empty()) {
        for (const std::string& warning : writeGltf(report, capture, o.gltf))
            std::cerr << "mhost: warning: " << o.gltf << ": " << warning << '\n';
    }
    if (!o.html.empty())
        writeFileAtomically(o.html, renderViewerHtml(report, capture));
}

void addExportOptions(CLI::App& command, SweepFiles& o) {
    command
        .add_option("--gltf", o.gltf,
                    "Also write the sweep as a glTF 2.0 animation (.gltf, or binary .glb)")
        ->type_name("FILE");
    command
        .add_option("--html", o.html,
                    "Also write a 3D viewer of the sweep: one HTML file that needs no network")
        ->type_name("FILE.html");
}

void addDemoOptions(CLI::App& demo, DemoOptions& o) {
    demo.add_option("--interp", o.interp, "Rotation blending")
        ->check(CLI::IsMember({"euler", "quat"}))
        ->capture_default_str();
    demo.add_flag("--ease", o.ease, "Ease in and out between keys");
    demo.add_option("--steps", o.steps, "Equal steps across the keyed range")
        ->check(CLI::Range(1, SweepRange::kMaxSteps))
        ->capture_default_str();
    demo.add_option("--format", o.format, "Output format")->check(kFormats)->capture_default_str();
    demo.add_option("--plot", o.files.plot, "Also draw the sweep as an SVG file")
        ->type_name("FILE.svg");
    addExportOptions(demo, o.files);
}

int runDemoCommand(Host& host, const DemoOptions& o) {
    const ReportFormat format = parseReportFormat(o.format);
    checkSweepFileNames(o.files);
    Scene scene(host);
    const EvalReport report = runDemo(scene, {o.interp == "quat", o.ease, o.steps});
    if (format == ReportFormat::Table)
        std::cout << "Demo: a \"null\" key dummy wired into input 1 of a \"quenlo\" node; "
                  << demoKeys().size() << " keys made with Get key, then \"driverval\" swept.\n";
    writeReport(report, format, std::cout);
    writeSweepFiles(asObject(scene.node("q")), report, o.files);
    return kExitOk;
}

void addInfoOptions(CLI::App& info, InfoOptions& o) {
    info.add_option("TYPE", o.types, "Show only these node types");
    info.add_flag("--json", o.json, "Print JSON instead of tables");
}

int runInfoCommand(Host& host, const InfoOptions& o) {
    const Json description = describeInterface(host, o.types);
    if (o.json)
        std::cout << formatJson(description);
    else
        printInterface(description, std::cout);
    return kExitOk;
}

void addRunOptions(CLI::App& run, RunOptions& o) {
    run.add_option("SCRIPT", o.script, "Script file (JSON)")->required();
    run.add_option("--scene", o.scene, "Start from this scene file")->type_name("IN");
    run.add_option("--save", o.save, "Save the scene here at the end")->type_name("OUT");
}

int runScriptCommand(Host& host, const RunOptions& o) {
    Scene scene(host);
    if (!o.scene.empty())
        loadScene(scene, o.scene);
    runScript(scene, o.actions, o.script, std::cout, &std::cerr);
    if (!o.save.empty())
        saveScene(scene, o.save);
    return kExitOk;
}

// A number given as text on the command line; InputError naming the option.
double parseNumber(const std::string& text, const std::string& option) {
    double value = 0.0;
    if (!parseNumberText(text, value))
        throw InputError(option + " " + quote(text) +
                         ": expected a number of seconds or FROM:TO:STEPS");
    return value;
}

void addEvalOptions(CLI::App& eval, EvalOptions& o) {
    eval.add_option("SCENE", o.scene, "Scene file (JSON)")->required();
    eval.add_option("NODE", o.node, "Node name")->required();
    eval.add_option("--time", o.time,
                    "Cook time in seconds, or FROM:TO:STEPS to cook at STEPS + 1 equal times (the "
                    "driver follows its animation)")
        ->type_name("T|FROM:TO:STEPS")
        ->capture_default_str();
    eval.add_option("--driver", o.driver,
                    "Sweep \"driverval\" from FROM to TO in STEPS equal steps (a temporary "
                    "value, never saved)")
        ->type_name("FROM:TO:STEPS");
    eval.add_option("--format", o.format, "Output format")->check(kFormats)->capture_default_str();
    eval.add_option("--plot", o.files.plot,
                    "Also draw the sweep as an SVG file (needs --driver or a --time range)")
        ->type_name("FILE.svg");
    addExportOptions(eval, o.files);
}

int runEvalCommand(Host& host, const EvalOptions& o) {
    const ReportFormat format = parseReportFormat(o.format);
    checkSweepFileNames(o.files);
    std::optional<SweepRange> range, times;
    if (!o.driver.empty())
        range = parseSweepRange(o.driver, "--driver");
    float time = 0.0f;
    if (o.time.find(':') != std::string::npos)
        times = parseSweepRange(o.time, "--time");
    else
        time = secondsFrom(parseNumber(o.time, "--time"), "--time");
    if (range && times)
        throw InputError("sweep the driver (--driver) or time (--time FROM:TO:STEPS), not both");
    if (!o.files.plot.empty() && !range && !times)
        throw InputError("--plot draws a sweep: give --driver FROM:TO:STEPS or --time "
                         "FROM:TO:STEPS as well");
    Scene scene(host);
    loadScene(scene, o.scene);
    OBJ_Node& node = asObject(scene.node(o.node));
    const EvalReport report = times   ? sweepTime(node, *times)
                              : range ? sweepDriver(node, time, *range)
                                      : evaluateAt(node, time);
    writeReport(report, format, std::cout);
    for (const CookResult& row : report.rows) {
        if (row.severity >= UT_ERROR_ABORT)
            throw RunError("cooking " + describeNode(node) + " failed" +
                           (row.driver ? " at driver " + formatShortest(*row.driver) : "") +
                           "; see the warnings column");
    }
    writeSweepFiles(node, report, o.files);
    return kExitOk;
}

void addValidateOptions(CLI::App& validate, ValidateOptions& v) {
    validate.add_option("MODULE", v.modules,
                        "Module files (a path, or a file name in the search path)");
    validate.add_flag("--list-tests", v.listTests,
                      "Print each check's name and what it checks, and stop");
    validate
        .add_option("--include", v.include,
                    "Run only checks matching PATTERN (a glob; a plain word matches within "
                    "names; repeatable)")
        ->type_name("PATTERN");
    validate.add_option("--exclude", v.exclude, "Leave out checks matching PATTERN (repeatable)")
        ->type_name("PATTERN");
    validate.add_flag("--json", v.json, "Print one JSON document per module");
    validate.add_option("--junit", v.junit, "Also write a JUnit XML report here")
        ->type_name("FILE");
    validate.add_option("--seed", v.seed, "Seed of the randomized checks: repeats an earlier run")
        ->type_name("N");
    validate.add_option("--timeout", v.timeout, "Seconds a check may take before it is stopped")
        ->capture_default_str();
    validate
        .add_option("--memory-limit", v.memoryLimit,
                    "Memory a check may map beyond the host's own (bytes, or with KiB, MiB, "
                    "GiB; default 4 GiB)")
        ->type_name("SIZE")
        ->transform(CLI::AsSizeValue(false));
    validate
        .add_option("--cpu-limit", v.cpuLimit,
                    "CPU seconds a check may use before it is stopped (default: --timeout plus 1)")
        ->type_name("SECONDS");
    validate.add_flag("--in-process", v.inProcess,
                      "Run the checks in this process, one after the other (for a debugger; a "
                      "crash ends the run)");
}

int runValidateCommand(Host&, const ValidateOptions& o) {
    return runValidate(o, std::cout);
}

const Command kCommands[] = {
    {"demo",
     "Rig a key dummy and a \"quenlo\" node with Get key, sweep \"driverval\" across the keys and "
     "print the local transforms",
     true, true, bind<DemoOptions, addDemoOptions, planFiles, runDemoCommand>},
    {"info", "List the loaded modules, the node types and their parameter interfaces", true, true,
     bind<InfoOptions, addInfoOptions, planFiles, runInfoCommand>},
    {"run",
     "Run a script of actions on an empty scene or on --scene, printing one JSON line per "
     "reporting action",
     true, true, bind<RunOptions, addRunOptions, planFiles, runScriptCommand>},
    {"eval",
     "Cook NODE of a scene at --time, sweep its \"driverval\" with --driver or time with --time "
     "FROM:TO:STEPS, and print the local transforms",
     true, true, bind<EvalOptions, addEvalOptions, planFiles, runEvalCommand>},
    {"bake",
     "Cook every node of a scene (or --nodes) at each time of --time FROM:TO:STEPS, on every "
     "core, and write the matrices as .npy or the animation as glTF or USD",
     true, true, bakeCommand},
    {"edit",
     "Edit SCENE by hand in the browser: the parameter pane, the node list and a 3D viewport, "
     "served on 127.0.0.1 at the address printed first",
     true, false, editCommand},
    {"keys",
     "Export a keyed node's keys to a key library file, or import them from one and save the "
     "scene",
     true, true, keysCommand},
    // validate loads the modules it checks in child processes only.
    {"validate",
     "Check modules the way the host relies on them, each check in a child process; exit 1 "
     "when any check fails or crashes",
     false, true, bind<ValidateOptions, addValidateOptions, planFiles, runValidateCommand>},
};

std::string commandList() {
    std::string names;
    for (const Command& command : commands())
        names += (names.empty() ? "" : ", ") + std::string(command.name);
    return names;
}

// A command line that names no known command: the first word CLI11 could
// not parse says what was meant.
std::string missingCommandMessage(const std::vector<std::string>& unplaced) {
    const std::string hint = " (commands: " + commandList() + "; see mhost --help)";
    if (unplaced.empty())
        return "a command is required" + hint;
    if (unplaced.front().rfind("-", 0) == 0)
        return "unknown option " + quote(unplaced.front()) + hint;
    return "unknown command " + quote(unplaced.front()) + hint;
}

} // namespace

std::span<const Command> commands() {
    return kCommands;
}

CommandLine::CommandLine()
    : app(std::string("mhost: ") + kSummary + ".\n" + kModulesHelp +
              "\nExit status: " + kExitStatusHelp + ".",
          "mhost") {
    app.set_version_flag("--version", std::string("mhost ") + MHOST_VERSION);
    app.fallthrough();
    // One path per --module; the word after it is the command again.
    app.add_option("--module", modules, "Load this module file as well (repeatable)")
        ->type_name("PATH")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    for (const Command& command : commands()) {
        CLI::App* sub = app.add_subcommand(command.name, command.help);
        chosen.push_back({sub, &command, command.add(*sub)});
    }
    // Set after the commands, which would otherwise copy them: the formats
    // are described once, under mhost --help, and only the top level keeps
    // what it cannot parse, to name it below.
    app.footer(formatsHelp());
    app.allow_extras();
    app.require_subcommand(0, 1);
}

int runCommandLine(int argc, char** argv) {
    CommandLine line;
    CLI::App& app = line.app;
    const auto& commands = line.chosen;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end the parse with status 0, except for a
        // command that does not exist: a script that asks for the help of
        // a command is told whether there is one.
        const bool commandChosen = std::any_of(commands.begin(), commands.end(),
                                               [](const auto& c) { return c.sub->parsed(); });
        if (e.get_exit_code() == 0 && !commandChosen && !app.remaining().empty()) {
            std::cerr << "mhost: " << missingCommandMessage(app.remaining()) << '\n';
            return kExitBadInput;
        }
        if (e.get_exit_code() == 0)
            return app.exit(e, std::cout, std::cerr);
        std::cerr << "mhost: " << e.what() << " (see mhost --help)\n";
        return kExitBadInput;
    }
    const auto chosen = std::find_if(commands.begin(), commands.end(),
                                     [](const auto& c) { return c.sub->parsed(); });
    if (chosen == commands.end()) {
        std::cerr << "mhost: " << missingCommandMessage(app.remaining()) << '\n';
        return kExitBadInput;
    }
    // Words the command could not parse (an unknown option, one argument
    // too many) are mistakes, not something to ignore.
    if (const auto extra = app.remaining(); !extra.empty()) {
        std::cerr << "mhost: " << chosen->command->name << ": "
                  << (extra.front().rfind("-", 0) == 0 ? "unknown option " : "unexpected argument ")
                  << quote(extra.front()) << " (see mhost " << chosen->command->name
                  << " --help)\n";
        return kExitBadInput;
    }

    try {
        // Every file the command reads and writes is checked before any work,
        // so that a refused output (an input, a FIFO, a folder, another
        // output) costs nothing; targets are checked again when written.
        FilePlan plan;
        chosen->run.files(plan);
        // A write cut short by a signal leaves no temporary file behind.
        handleStopSignals();
        Host host;
        if (chosen->command->loadsModules) {
            host.loadModules(line.modules);
            for (const std::string& warning : host.warnings())
                std::cerr << "mhost: warning: " << warning << '\n';
            for (const OP_DSOModule& module : host.loader().modules())
                plan.reads(module.path, "the loaded module");
        }
        plan.check();
        if (!chosen->command->outputsAtEnd)
            return chosen->run.run(host);
        // Every output is written whole before any is put in place.
        OutputBatch outputs;
        const int status = chosen->run.run(host);
        outputs.commit();
        return status;
    } catch (const Failure& failure) {
        std::cout.flush();
        std::cerr << "mhost: " << failure.what() << '\n';
        return failure.code();
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "mhost: internal error: " << e.what() << '\n';
        return kExitRunFailure;
    }
}

} // namespace mhost
