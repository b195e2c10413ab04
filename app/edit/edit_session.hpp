// app/edit: `mhost edit`, a scene edited by hand in the browser. The
// session (this header: the scene, its edits, undo, saving), the parameter
// pane a node's templates draw (parm_pane.hpp) and the local HTTP server
// that shows both (edit_server.hpp). It includes app/output, app/engine and
// below.
//
// An editing session of one scene file. Every change is one of the script
// actions `mhost run` carries out that changes the scene and names no file,
// run by the same code; the session keeps them in order,
// so that they can be undone, redone and handed out as a script that
// rebuilds the scene from the file as it was opened.
#pragma once

#include "engine/host_session.hpp"
#include "json/json.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace mhost {

class EditSession {
public:
    // How many edits can be undone.
    static constexpr std::size_t kUndoDepth = 100;

    // Opens the scene file at path, or an empty scene when there is no file
    // there (the file is made by the first save). InputError for a file that
    // is not a scene, or a path that cannot be written.
    EditSession(Host& host, std::string path);

    Scene& scene() { return scene_; }
    const Scene& scene() const { return scene_; }
    const std::string& path() const { return path_; }
    // The time edits are made and nodes cooked at (seconds).
    float time() const { return 0.0f; }

    // What an edit raised: a press's warnings, "node "q" (quenlo): ...".
    struct Outcome {
        std::vector<std::string> warnings;
    };

    // Makes one edit: a script action the editor may make (ActionUse::Edit), or
    // {"op": "pose", "node", "world": [16 numbers]}, which moves the node to
    // that world matrix by setting its "t" and "r" (the matrix convention of
    // UT/UT_Math.h; pivot and scale kept). With merge, an edit of the same
    // parameters of the same node as the last edit takes its place in the
    // history (one step for a whole drag). Drops what was undone. On any
    // failure (InputError naming the field, node or parameter; RunError) the
    // scene is as it was.
    Outcome apply(const Json& edit, bool merge = false);

    // Undoes or redoes one step; false when there is none.
    bool undo();
    bool redo();
    std::size_t undoable() const { return done_ - floor_; }
    std::size_t redoable() const { return steps_.size() - done_; }

    // True when the scene differs from the file as last opened or saved.
    bool unsaved() const;
    // Writes the scene to the session's file by the output rules. Unless
    // overwrite, a file changed on disk since the session read or last
    // saved it is not replaced: InputError (FailureKind::Changed).
    void save(bool overwrite = false);

    // What reload() did with the session's edits.
    struct Reloaded {
        std::size_t reapplied = 0;        // edits made again on the file
        std::vector<std::string> dropped; // why each of the others failed
    };
    // Reads the session's file again as it is on disk now (an empty scene
    // when it is gone), then, with reapply, makes the session's edits on
    // it again, in order, each that still applies (one that fails is
    // dropped); without, the edits are discarded. The history then holds
    // the edits made again. On a file that does not load (InputError) the
    // session is as it was.
    Reloaded reload(bool reapply);

    // The edits in effect, in order, as a `mhost run` script: run on the
    // file as it was opened (--scene FILE; no --scene when there was none)
    // it makes this scene.
    Json script() const;

private:
    // The actions an edit stands for.
    std::vector<Json> actionsOf(const Json& edit);
    // Runs actions on the scene; what they reported, one object each.
    std::vector<Json> run(const std::vector<Json>& actions);
    // Runs steps [first, last) on scene.
    void runSteps(Scene& scene, std::size_t first, std::size_t last) const;
    // Makes the scene the checkpoint with steps [floor_, count) run on it.
    void replay(std::size_t count);
    // Folds the oldest steps beyond the undo depth into the checkpoint.
    void trimHistory();
    // Reads the session's file, or nothing when there is none; sets
    // existed_, openedText_ and the scene's file stamp.
    void open(Scene& scene);

    Host& host_;
    std::string path_;
    bool existed_ = false;
    Scene scene_;
    std::string openedText_; // the file as opened ("" when there was none)
    std::string savedText_;  // the scene as last opened or saved
    // Every edit made and not undone-and-dropped, as its actions; the first
    // done_ are in effect.
    std::vector<std::vector<Json>> steps_;
    std::size_t done_ = 0;
    // Whether the last thing done was an edit that the next may merge with
    // (not a refused edit, an undo or a redo).
    bool mergeable_ = false;
    // Undo goes back as far as step floor_, replaying from checkpoint_, the
    // scene as it was after the first floor_ steps.
    std::size_t floor_ = 0;
    std::string checkpoint_;
};

} // namespace mhost
