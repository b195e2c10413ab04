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
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mhost {

class EditJournal;

// Whether a session keeps a journal of its changes (edit_journal.hpp).
enum class Journaling { On, Off };

class EditSession {
public:
    // How many edits can be undone.
    static constexpr std::size_t kUndoDepth = 100;

    // Opens the scene file at path, or an empty scene when there is no file
    // there (the file is made by the first save). InputError for a file that
    // is not a scene, or a path that cannot be written. With a journal, the
    // session takes the scene's journal (InputError when another session
    // holds it, or when it is not one): an earlier session's changes found
    // there wait for recoverJournal or discardJournal, every change being
    // refused meanwhile (InputError); otherwise the journal starts afresh.
    EditSession(Host& host, std::string path, Journaling journaling = Journaling::Off);
    ~EditSession();
    EditSession(const EditSession&) = delete;
    EditSession& operator=(const EditSession&) = delete;

    Scene& scene() { return scene_; }
    const Scene& scene() const { return scene_; }
    const std::string& path() const { return path_; }
    // The time edits are made at (seconds): a pose puts a node where it is
    // asked to be at this time. The page's current frame sets it.
    float time() const { return time_; }
    void setTime(float time) { time_ = time; }

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

    // True when the scene is not the file as last opened or saved: the
    // history is not where it was then (an edit made and undone leaves it
    // where it was).
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

    // An earlier session's journal, found when this one started and not yet
    // recovered or discarded.
    struct FoundJournal {
        std::string path;
        std::size_t changes = 0;            // records: edits, undos, redos
        std::size_t edits = 0;              // the steps they leave in effect
        bool wholeScene = false;            // the steps start from a scene the journal holds
        std::int64_t started = 0, last = 0; // ms since the epoch
        long pid = 0;                       // the session that wrote it
        std::string stopped;                // where a torn tail was cut off, or ""
        bool sceneChanged = false;          // the file changed since that session read it
    };
    const std::optional<FoundJournal>& foundJournal() const { return found_; }
    // Makes the found journal's steps on the scene as it is on disk, in
    // order, each that still applies (one that fails is dropped, as
    // reload's); the history then holds them, and the journal starts afresh
    // with them.
    Reloaded recoverJournal();
    // Drops the found journal's changes; the journal starts afresh.
    void discardJournal();
    // Ends the journal as the session ends: removed when nothing is left
    // unsaved or the user discards the edits, else kept for the next
    // session to recover.
    void endJournal(bool remove);

    // Goes up by one with every change of the scene, the history or the
    // file (edit, undo, redo, save, reload, recovery), for pages to follow.
    std::uint64_t version() const { return version_; }

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
    // Reads the session's file, or nothing when there is none, into scene;
    // sets existed_ and the scene's file stamp. Returns the text the scene
    // reads back from (the file's, or the empty scene's).
    std::string open(Scene& scene);
    // The journal's side of each change; each throws RunError, the change
    // not made, when the journal cannot be written.
    void journalEdit(const std::vector<Json>& actions, bool merged);
    void journalMove(int by); // an undo (-1) or redo (+1)
    void journalScene();      // the whole scene, where a step cannot say it
    // Starts the journal afresh with the steps in effect on the file.
    void restartJournal();
    void refuseWhileJournalFound() const;

    Host& host_;
    std::string path_;
    bool existed_ = false;
    Scene scene_;
    // How many steps of the history the file holds as last opened or saved
    // (none when no state of the history is the file).
    std::optional<std::size_t> savedAt_ = 0;
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

    std::unique_ptr<EditJournal> journal_;
    // The journal holds the last journalSize_ steps of the history up to
    // where journalDone_ of them are in effect (a replay of it has them).
    std::size_t journalDone_ = 0, journalSize_ = 0;
    std::optional<FoundJournal> found_;
    std::uint64_t version_ = 0;
    float time_ = 0.0f;
};

} // namespace mhost
