// mhost edit and mhost keys, the commands that change a scene file the
// user names: their options, the files they read and write, and their runs.
#include "cli/command_rows.hpp"
#include "edit/edit_serve.hpp"
#include "edit/edit_session.hpp"
#include "engine/key_tools.hpp"
#include "engine/scene_io.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"

#include <cstddef>
#include <iostream>
#include <string>

namespace mhost {

namespace {

constexpr auto kScene = FilePlan::Kind::Scene;

struct EditOptions {
    std::string scene;
    int port = 0;
    bool open = false;
    bool recover = false;        // an earlier session's journal: recover it
    bool discardJournal = false; // or discard it
    bool noJournal = false;
    std::size_t cacheMb = 512;
};
struct KeysOptions {
    std::string scene;
    std::string node;
    std::string exportTo;
    std::string importFrom;
    std::string save;
};

void planFiles(EditOptions& o, FilePlan& plan) {
    plan.reads(o.scene, "SCENE", kScene);
    plan.writes(o.scene, "SCENE", kScene);
}
void planFiles(KeysOptions& o, FilePlan& plan) {
    plan.reads(o.scene, "SCENE", kScene);
    plan.reads(o.importFrom, "--import");
    plan.writes(o.exportTo, "--export");
    plan.writes(o.save, "--save", kScene);
}

void addEditOptions(CLI::App& edit, EditOptions& o) {
    edit.add_option("SCENE", o.scene, "Scene file to edit (made by the first Save when absent)")
        ->required();
    edit.add_option("--port", o.port, "Port on 127.0.0.1 (0: a free one)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    edit.add_flag("--open", o.open, "Start the desktop's browser on the page");
    CLI::Option* recover = edit.add_flag(
        "--recover", o.recover,
        "Recover the unsaved edits an earlier session left in the scene's journal, without asking");
    CLI::Option* discard = edit.add_flag(
        "--discard-journal", o.discardJournal,
        "Discard the unsaved edits an earlier session left in the scene's journal, without asking");
    CLI::Option* none = edit.add_flag(
        "--no-journal", o.noJournal,
        "Keep no journal: a crash loses the unsaved edits, and another session of the scene is "
        "not kept out");
    edit.add_option("--cache-mb", o.cacheMb,
                    "Memory for the playback cache, in MiB (0: no cache, every frame cooked live)")
        ->check(CLI::Range(std::size_t(0), std::size_t(1) << 20))
        ->capture_default_str();
    recover->excludes(discard);
    none->excludes(recover)->excludes(discard);
}

int runEditCommand(Host& host, const EditOptions& o) {
    if (o.noJournal)
        std::cerr << "mhost: warning: --no-journal: the edits of this session are kept nowhere "
                     "but in memory until saved, and another session of "
                  << quote(o.scene) << " is not kept out\n";
    EditSession session(host, o.scene, o.noJournal ? Journaling::Off : Journaling::On);
    if (session.foundJournal()) {
        if (o.recover) {
            const EditSession::Reloaded outcome = session.recoverJournal();
            std::cerr << "mhost: recovered " << outcome.reapplied << " unsaved edit"
                      << (outcome.reapplied == 1 ? "" : "s") << " of an earlier session\n";
            for (const std::string& why : outcome.dropped)
                std::cerr << "mhost: warning: an edit no longer applies and was dropped: " << why
                          << '\n';
        } else if (o.discardJournal) {
            session.discardJournal();
            std::cerr << "mhost: discarded the unsaved edits of an earlier session\n";
        } else {
            std::cerr << "mhost: " << describeFoundJournal(session) << '\n';
        }
    }
    return serveEditSession(session,
                            {.port = o.port, .openBrowser = o.open, .cacheBytes = o.cacheMb << 20},
                            std::cout, std::cerr);
}

void addKeysOptions(CLI::App& keys, KeysOptions& o) {
    keys.add_option("SCENE", o.scene, "Scene file (JSON)")->required();
    keys.add_option("NODE", o.node, "A keyed node of the scene")->required();
    CLI::Option* exported =
        keys.add_option("--export", o.exportTo, "Write the node's keys to this key library file")
            ->type_name("FILE");
    CLI::Option* imported =
        keys.add_option("--import", o.importFrom,
                        "Make the node's keys those of this key library file (with --save)")
            ->type_name("FILE");
    exported->excludes(imported);
    keys.add_option("--save", o.save, "Save the scene here after --import")->type_name("OUT");
}

int runKeysCommand(Host& host, const KeysOptions& o) {
    if (o.exportTo.empty() == o.importFrom.empty())
        throw InputError("keys: give --export FILE or --import FILE --save OUT");
    if (!o.importFrom.empty() && o.save.empty())
        throw InputError("keys: --import needs --save OUT, the scene to write");
    if (!o.exportTo.empty() && !o.save.empty())
        throw InputError("keys: --save goes with --import; --export changes no scene");
    Scene scene(host);
    loadScene(scene, o.scene);
    OP_Node& node = scene.node(o.node);
    if (!o.exportTo.empty()) {
        exportKeys(node, o.exportTo);
        return kExitOk;
    }
    importKeys(node, o.importFrom);
    saveScene(scene, o.save);
    return kExitOk;
}

} // namespace

CommandRun editCommand(CLI::App& sub) {
    return bind<EditOptions, addEditOptions, planFiles, runEditCommand>(sub);
}

CommandRun keysCommand(CLI::App& sub) {
    return bind<KeysOptions, addKeysOptions, planFiles, runKeysCommand>(sub);
}

} // namespace mhost
