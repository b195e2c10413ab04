#include "edit/edit_session.hpp"

#include "edit/edit_journal.hpp"
#include "engine/evaluation.hpp"
#include "engine/scene_io.hpp"
#include "engine/script.hpp"
#include "support/errors.hpp"
#include "support/output_file.hpp"
#include "support/text.hpp"

#include <Eigen/Dense>
#include <OBJ/OBJ_Node.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <sys/stat.h>
#include <utility>

namespace mhost {

namespace {

constexpr const char* kSource = "edit";

using RowMatrix = Eigen::Matrix<double, 4, 4, Eigen::RowMajor>;

RowMatrix toEigen(const UT_DMatrix4& m) {
    return Eigen::Map<const RowMatrix>(m.data());
}

// A matrix that moves points by v (row vectors: the last row).
RowMatrix translation(const double v[3]) {
    RowMatrix m = RowMatrix::Identity();
    m.block<1, 3>(3, 0) << v[0], v[1], v[2];
    return m;
}

// The 16 numbers of a "world" field.
RowMatrix worldField(const Json& edit) {
    const auto found = edit.find("world");
    if (found == edit.end())
        throw InputError("missing field \"world\"");
    if (!found->is_array() || found->size() != 16)
        throw InputError("field \"world\" must be an array of 16 numbers");
    RowMatrix m;
    for (int i = 0; i < 16; ++i) {
        const Json& v = (*found)[static_cast<std::size_t>(i)];
        if (!v.is_number() || !std::isfinite(v.get<double>()))
            throw InputError("field \"world\" must be an array of 16 finite numbers");
        m(i / 4, i % 4) = v.get<double>();
    }
    return m;
}

// The "t" and "r" that give the object this world matrix, its parent, pivot,
// scale and orders as they are: X = T(-p) * ops(t, r, s) * T(p) is the
// local matrix (UT/UT_Math.h), so ops = T(p) * (world * parent^-1) * T(-p).
std::vector<Json> poseActions(Scene& scene, const Json& edit, float time) {
    const auto name = edit.find("node");
    if (name == edit.end() || !name->is_string())
        throw InputError("field \"node\" must be a node name");
    OBJ_Node& node = asObject(scene.node(name->get<std::string>()));
    const RowMatrix world = worldField(edit);
    for (const char* token : {OBJ_Token::translate, OBJ_Token::rotate})
        requireParm(node, token);
    cookNode(node, time);
    RowMatrix parent = RowMatrix::Identity();
    if (node.nInputs() > 0)
        if (const OP_Node* input = node.getInput(0))
            if (const OBJ_Node* object = input->castToOBJNode())
                parent = toEigen(object->getWorldTransform());
    const Eigen::FullPivLU<RowMatrix> lu(parent);
    if (!lu.isInvertible())
        throw InputError(describeNode(node) + " has a parent whose world matrix is singular");
    double pivot[3], negative[3];
    for (int i = 0; i < 3; ++i) {
        pivot[i] = node.evalFloat(OBJ_Token::pivot, i, time);
        negative[i] = -pivot[i];
    }
    const RowMatrix ops = translation(pivot) * world * lu.inverse() * translation(negative);
    const UT_XformOrder order(
        UT_XformOrder::mainOrderFromMenu(node.evalInt(OBJ_Token::xOrd, 0, time)),
        UT_XformOrder::rotOrderFromMenu(node.evalInt(OBJ_Token::rOrd, 0, time)));
    double t[3], r[3], s[3];
    if (!UT_DMatrix4(ops.data()).explode(order, t, r, s))
        throw InputError("field \"world\" is singular: no pose of " + describeNode(node) +
                         " makes it");
    const auto set = [&](const char* token, const double v[3]) {
        return Json{{"op", "set"},
                    {"node", node.getName()},
                    {"parm", token},
                    {"value", {v[0] + 0.0, v[1] + 0.0, v[2] + 0.0}}};
    };
    return {set(OBJ_Token::translate, t), set(OBJ_Token::rotate, r)};
}

// Whether two edits change the same parameters of the same nodes, so that
// the second may take the first's place in the history.
bool sameTargets(const std::vector<Json>& a, const std::vector<Json>& b) {
    const auto key = [](const Json& action) {
        Json k = Json::object();
        for (const char* field : {"op", "node", "parm", "component", "time"})
            if (action.contains(field))
                k[field] = action[field];
        return k;
    };
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].value("op", "") != "set" || key(a[i]) != key(b[i]))
            return false;
    return true;
}

} // namespace

EditSession::EditSession(Host& host, std::string path, Journaling journaling)
    : host_(host), path_(std::move(path)), scene_(host) {
    checkOutputTarget(path_);
    // The journal first: a session that may not have it opens nothing.
    if (journaling == Journaling::On)
        journal_ = std::make_unique<EditJournal>(path_);
    checkpoint_ = open(scene_);
    if (!journal_)
        return;
    const EditJournal::Contents& found = journal_->found();
    if (found.records.empty()) {
        journal_->restart(scene_.file());
        return;
    }
    const JournalEffect effect = effectOf(found.records);
    found_ = FoundJournal{};
    found_->path = journal_->path();
    found_->changes = found.records.size();
    found_->edits = effect.steps.size();
    found_->wholeScene = effect.scene.has_value();
    found_->started = found.header ? found.header->started : 0;
    found_->last = found.last;
    found_->pid = found.header ? found.header->pid : 0;
    found_->stopped = found.stopped;
    const std::optional<FileStamp>& stamp = found.header ? found.header->stamp : std::nullopt;
    found_->sceneChanged = stamp ? !stillUnchanged(*stamp) : scene_.file().has_value();
}

EditSession::~EditSession() = default;

std::string EditSession::open(Scene& scene) {
    struct stat st {};
    const bool exists = ::stat(path_.c_str(), &st) == 0;
    StampedText read;
    if (exists) {
        read = readStampedTextFile(path_);
        sceneFromText(scene, read.text, path_);
    } else {
        // A file another program makes there meanwhile is a change the
        // first save must not silently replace.
        read.stamp = absentFileStamp(path_);
    }
    scene.setFile(std::move(read.stamp));
    existed_ = exists;
    // The file's own text makes the same scene: no need to print it again.
    return exists ? std::move(read.text) : sceneText(scene);
}

std::vector<Json> EditSession::actionsOf(const Json& edit) {
    if (!edit.is_object())
        throw InputError("an edit must be an object with an \"op\", not " + describeJsonKind(edit));
    const auto op = edit.find("op");
    if (op == edit.end() || !op->is_string())
        throw InputError("an edit needs an \"op\"");
    if (*op == "pose")
        return poseActions(scene_, edit, time());
    // The page may make the script's edits, and nothing that names a file.
    const ActionKind* kind = findActionKind(op->get<std::string>());
    if (kind == nullptr || kind->use != ActionUse::Edit) {
        std::string known = "pose";
        for (const ActionKind& edits : actionKinds())
            if (edits.use == ActionUse::Edit)
                known += ", " + std::string(edits.op);
        throw InputError("an edit cannot be " + quote(op->get<std::string>()) +
                         " (edits: " + known + ")");
    }
    return {edit};
}

std::vector<Json> EditSession::run(const std::vector<Json>& actions) {
    std::ostringstream out;
    runScript(scene_, parseScript(Json(actions), kSource), kSource, out);
    std::vector<Json> reports;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);)
        reports.push_back(parseJson(line, kSource));
    return reports;
}

EditSession::Outcome EditSession::apply(const Json& edit, bool merge) {
    refuseWhileJournalFound();
    // Only an edit that succeeds may be merged with.
    const bool couldMerge = std::exchange(mergeable_, false);
    std::vector<Json> actions = actionsOf(edit);
    // The whole edit is checked before any of it runs.
    parseScript(Json(actions), kSource);
    Outcome outcome;
    try {
        const std::vector<Json> reports = run(actions);
        for (const Json& report : reports) {
            // A create whose name the host chose is recorded with that name, so
            // that a replay makes the same node whatever it finds.
            if (report["op"] == "create")
                actions[0]["name"] = report["name"];
            for (const Json& warning : report.value("warnings", Json::array()))
                outcome.warnings.push_back(
                    describeNode(scene_.node(report["node"].get<std::string>())) + ": " +
                    warning["message"].get<std::string>());
        }
    } catch (...) {
        replay(done_);
        throw;
    }
    const bool merged =
        merge && couldMerge && done_ > floor_ && sameTargets(steps_[done_ - 1], actions);
    // Journalled before the history changes: a journal that cannot be
    // written leaves the edit unmade.
    try {
        journalEdit(actions, merged);
    } catch (...) {
        replay(done_);
        throw;
    }
    // The saved scene is the history's first savedAt_ steps: a merge into
    // one of them, or an edit that drops one undone, leaves it behind.
    if (savedAt_ && (*savedAt_ > done_ || (merged && *savedAt_ == done_)))
        savedAt_.reset();
    steps_.resize(done_);
    if (merged) {
        steps_.back() = std::move(actions);
    } else {
        steps_.push_back(std::move(actions));
        ++done_;
    }
    mergeable_ = true;
    ++version_;
    trimHistory();
    return outcome;
}

void EditSession::trimHistory() {
    // The oldest step beyond the undo depth joins the checkpoint.
    while (done_ - floor_ > kUndoDepth) {
        Scene older(host_);
        sceneFromText(older, checkpoint_, kSource);
        runSteps(older, floor_, floor_ + 1);
        checkpoint_ = sceneText(older);
        ++floor_;
    }
}

void EditSession::runSteps(Scene& scene, std::size_t first, std::size_t last) const {
    std::ostringstream reports;
    for (std::size_t i = first; i < last; ++i)
        runScript(scene, parseScript(Json(steps_[i]), kSource), kSource, reports);
}

void EditSession::replay(std::size_t count) {
    Scene rebuilt(host_);
    sceneFromText(rebuilt, checkpoint_, kSource);
    runSteps(rebuilt, floor_, count);
    scene_.swap(rebuilt);
}

bool EditSession::undo() {
    refuseWhileJournalFound();
    if (done_ == floor_)
        return false;
    replay(done_ - 1);
    --done_;
    mergeable_ = false;
    try {
        journalMove(-1);
    } catch (...) {
        runSteps(scene_, done_, done_ + 1);
        ++done_;
        throw;
    }
    ++version_;
    return true;
}

bool EditSession::redo() {
    refuseWhileJournalFound();
    if (done_ == steps_.size())
        return false;
    runSteps(scene_, done_, done_ + 1);
    ++done_;
    mergeable_ = false;
    try {
        journalMove(+1);
    } catch (...) {
        replay(done_ - 1);
        --done_;
        throw;
    }
    ++version_;
    return true;
}

void EditSession::journalEdit(const std::vector<Json>& actions, bool merged) {
    if (!journal_)
        return;
    // The journal's steps are the session's last journalSize_ steps up to
    // where journalDone_ of them are in effect; a merge into a step it
    // does not hold is written as the whole scene.
    if (merged && journalDone_ == 0)
        return journalScene();
    Json record{{"edit", actions}};
    if (merged)
        record["merge"] = true;
    journal_->append(std::move(record));
    if (!merged)
        journalSize_ = ++journalDone_;
}

void EditSession::journalMove(int by) {
    if (!journal_)
        return;
    const bool held = by < 0 ? journalDone_ > 0 : journalDone_ < journalSize_;
    if (!held)
        return journalScene();
    journal_->append(Json{{by < 0 ? "undo" : "redo", true}});
    journalDone_ = static_cast<std::size_t>(static_cast<long>(journalDone_) + by);
}

void EditSession::journalScene() {
    journal_->append(Json{{"scene", sceneText(scene_)}});
    journalDone_ = journalSize_ = 0;
}

void EditSession::restartJournal() {
    if (!journal_)
        return;
    std::vector<Json> records;
    for (std::size_t i = floor_; i < done_; ++i)
        records.push_back(Json{{"edit", steps_[i]}});
    // Steps already folded into the checkpoint come back as the scene.
    if (floor_ > 0)
        records.insert(records.begin(), Json{{"scene", checkpoint_}});
    journal_->restart(scene_.file(), records);
    journalDone_ = journalSize_ = done_ - floor_;
}

void EditSession::refuseWhileJournalFound() const {
    if (found_)
        throw InputError("the journal of an earlier session of " + quote(path_) +
                         " waits: recover or discard it first");
}

bool EditSession::unsaved() const {
    return !savedAt_ || *savedAt_ != done_;
}

void EditSession::save(bool overwrite) {
    refuseWhileJournalFound();
    // The session's file is the one it wrote, even when it created it.
    scene_.setFile(saveScene(scene_, path_, overwrite));
    savedAt_ = done_;
    ++version_;
    if (journal_) {
        // The file holds every edit now: the journal holds none.
        journal_->restart(scene_.file());
        journalDone_ = journalSize_ = 0;
    }
}

EditSession::Reloaded EditSession::recoverJournal() {
    if (!found_)
        throw InputError("there is no journal of an earlier session to recover");
    const JournalEffect effect = effectOf(journal_->found().records);
    if (effect.scene) {
        // The journal's own scene is where its steps start: no state of the
        // history is the file.
        sceneFromText(scene_, *effect.scene, kSource);
        checkpoint_ = *effect.scene;
        savedAt_.reset();
    }
    Reloaded outcome;
    for (const std::vector<Json>& step : effect.steps) {
        const std::string before = sceneText(scene_);
        try {
            std::ostringstream reports;
            runScript(scene_, parseScript(Json(step), kSource), kSource, reports);
            steps_.push_back(step);
            ++done_;
        } catch (const Failure& failure) {
            outcome.dropped.push_back(failure.what());
            sceneFromText(scene_, before, kSource);
        }
    }
    outcome.reapplied = steps_.size();
    found_.reset();
    mergeable_ = false;
    trimHistory();
    restartJournal();
    ++version_;
    return outcome;
}

void EditSession::discardJournal() {
    if (!found_)
        throw InputError("there is no journal of an earlier session to discard");
    found_.reset();
    journal_->restart(scene_.file());
    ++version_;
}

void EditSession::endJournal(bool remove) {
    if (journal_ && remove)
        journal_->remove();
    journal_.reset();
}

EditSession::Reloaded EditSession::reload(bool reapply) {
    refuseWhileJournalFound();
    Scene fresh(host_);
    const std::string onDisk = open(fresh); // leaves the session unchanged when it throws
    Reloaded outcome;
    std::vector<std::vector<Json>> kept;
    if (reapply) {
        std::string before = onDisk;
        for (std::size_t i = 0; i < done_; ++i) {
            try {
                std::ostringstream reports;
                runScript(fresh, parseScript(Json(steps_[i]), kSource), kSource, reports);
                kept.push_back(steps_[i]);
                before = sceneText(fresh);
            } catch (const Failure& failure) {
                outcome.dropped.push_back(failure.what());
                sceneFromText(fresh, before, kSource);
            }
        }
    }
    outcome.reapplied = kept.size();
    scene_.swap(fresh);
    scene_.setFile(fresh.file());
    steps_ = std::move(kept);
    done_ = steps_.size();
    floor_ = 0;
    mergeable_ = false;
    checkpoint_ = onDisk;
    savedAt_ = 0;
    trimHistory();
    restartJournal();
    ++version_;
    return outcome;
}

Json EditSession::script() const {
    Json actions = Json::array();
    for (std::size_t i = 0; i < done_; ++i)
        for (const Json& action : steps_[i])
            actions.push_back(action);
    const std::string how = existed_ ? "mhost run SCRIPT --scene " + path_ + " --save OUT"
                                     : "mhost run SCRIPT --save OUT";
    return Json{{"description", "The edits made with mhost edit to " + path_ + ", on the file " +
                                    (existed_ ? "as it was opened" : "made new") + ": " + how},
                {"actions", actions}};
}

} // namespace mhost
