// The editing session's journal: every change made is on disk before it is
// answered, a torn tail costs only the record it tore, a session recovers
// what an earlier one left, and one session at a time holds a scene.
#include "edit/edit_journal.hpp"
#include "edit/edit_session.hpp"
#include "engine/scene_io.hpp"
#include "support/errors.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace mhost {
namespace {

namespace fs = std::filesystem;
using test::describe;
using test::runMhost;
using test::RunResult;
using test::TempDir;

Json set(const std::string& node, const std::string& parm, Json value) {
    return {{"op", "set"}, {"node", node}, {"parm", parm}, {"value", std::move(value)}};
}
Json create(const std::string& name) {
    return {{"op", "create"}, {"type", "null"}, {"name", name}};
}

// A scene file with one null, "base", and the host to edit it with.
class Journal : public ::testing::Test {
protected:
    void SetUp() override {
        Scene start(host);
        start.create("null", "base");
        saveScene(start, path);
    }
    // What a fresh session of the file makes of it after --recover.
    std::string recovered() {
        EditSession again(host, path, Journaling::On);
        EXPECT_TRUE(again.foundJournal());
        again.recoverJournal();
        return sceneText(again.scene());
    }
    std::string journalBytes() const { return test::readFile(EditJournal::pathFor(path)); }

    const TempDir dir;
    Host host;
    const std::string path = dir.file("shot.json");
};

TEST_F(Journal, EveryEditUndoAndRedoIsRecoveredAsTheSessionHadIt) {
    std::string expected;
    {
        EditSession session(host, path, Journaling::On);
        session.apply(create("a"));
        session.apply(set("a", "t", {1, 2, 3}));
        session.apply(set("a", "t", {4, 5, 6}), true); // a drag: one step
        session.apply(create("b"));
        ASSERT_TRUE(session.undo());
        ASSERT_TRUE(session.undo());
        ASSERT_TRUE(session.redo());
        session.apply(set("base", "r", {0, 90, 0}));
        expected = sceneText(session.scene());
        // The session ends as a crash would end it: its journal stays.
        session.endJournal(false);
    }
    {
        // A session that leaves the journal alone leaves it as it was.
        EditSession waiting(host, path, Journaling::On);
        ASSERT_TRUE(waiting.foundJournal());
        EXPECT_EQ(waiting.foundJournal()->edits, 3u) << "create a, the drag on it, the rotate";
        EXPECT_EQ(waiting.foundJournal()->changes, 8u);
        EXPECT_FALSE(waiting.foundJournal()->sceneChanged);
        EXPECT_THROW(waiting.apply(create("c")), InputError) << "edits wait for the decision";
        EXPECT_THROW(waiting.save(), InputError);
    }
    EditSession again(host, path, Journaling::On);
    again.recoverJournal();
    EXPECT_EQ(sceneText(again.scene()), expected);
    EXPECT_EQ(again.undoable(), 3u) << "the recovered edits can be undone";
    // Recovered, the journal holds them again: a second crash keeps them.
    again.endJournal(false);
    EXPECT_EQ(recovered(), expected);
}

TEST_F(Journal, UndoPastASaveIsRecoveredFromTheWholeSceneItWrites) {
    std::string expected;
    {
        EditSession session(host, path, Journaling::On);
        session.apply(create("a"));
        session.apply(create("b"));
        session.save();
        EXPECT_EQ(EditJournal::parse(journalBytes(), "j").records.size(), 0u)
            << "a save leaves nothing to recover";
        ASSERT_TRUE(session.undo()); // past what the journal holds
        ASSERT_TRUE(session.redo());
        ASSERT_TRUE(session.undo());
        session.apply(set("a", "t", {1, 1, 1}));
        expected = sceneText(session.scene());
        session.endJournal(false);
    }
    EXPECT_EQ(expected.find("\"b\""), std::string::npos);
    EXPECT_EQ(recovered(), expected);
}

TEST_F(Journal, AJournalCutAtAnyByteOfItsLastRecordKeepsTheRecordsBeforeIt) {
    {
        EditSession session(host, path, Journaling::On);
        session.apply(create("a"));
        session.apply(create("b"));
        session.endJournal(false);
    }
    const std::string whole = journalBytes();
    const EditJournal::Contents full = EditJournal::parse(whole, "j");
    ASSERT_EQ(full.records.size(), 2u);
    EXPECT_EQ(full.stopped, "");
    // The last record starts where a journal of the first record alone ends.
    std::size_t lastStart = 0;
    for (std::size_t cut = whole.size(); cut-- > 0;) {
        if (EditJournal::parse(whole.substr(0, cut), "j").records.size() < 1)
            break;
        if (EditJournal::parse(whole.substr(0, cut), "j").stopped.empty()) {
            lastStart = cut;
            break;
        }
    }
    ASSERT_GT(lastStart, 0u);
    for (std::size_t cut = lastStart + 1; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        const EditJournal::Contents torn = EditJournal::parse(whole.substr(0, cut), "j");
        ASSERT_EQ(torn.records.size(), 1u);
        EXPECT_EQ(torn.records[0]["edit"][0]["name"], "a");
        EXPECT_EQ(torn.stopped, "the journal ends in a torn record at byte " +
                                    std::to_string(lastStart) +
                                    " (a crash while it was written); the 1 whole changes "
                                    "before it are kept");
    }
    // A flipped byte in the last record is damage, found by its checksum.
    std::string flipped = whole;
    flipped[whole.size() - 3] ^= 0x20;
    const EditJournal::Contents damaged = EditJournal::parse(flipped, "j");
    EXPECT_EQ(damaged.records.size(), 1u);
    EXPECT_NE(damaged.stopped.find("a damaged record at byte " + std::to_string(lastStart)),
              std::string::npos)
        << damaged.stopped;

    // The session finds the torn journal, says where it stopped, recovers a.
    std::ofstream(EditJournal::pathFor(path), std::ios::binary | std::ios::trunc)
        << whole.substr(0, whole.size() - 5);
    EditSession again(host, path, Journaling::On);
    ASSERT_TRUE(again.foundJournal());
    EXPECT_NE(again.foundJournal()->stopped.find("torn record"), std::string::npos);
    again.recoverJournal();
    EXPECT_NO_THROW(again.scene().node("a"));
    EXPECT_THROW(again.scene().node("b"), InputError);
}

TEST_F(Journal, WhatIsNotAJournalOrIsAnotherScenesIsRefusedAndLeftInPlace) {
    const std::string journal = EditJournal::pathFor(path);
    EXPECT_EQ(fs::path(journal).filename(), ".shot.json.mhost-journal");
    for (const std::string& text : {std::string("not a journal at all"), std::string("MHJ"),
                                    std::string("MHJRNL1\n") + std::string(12, '\0')}) {
        std::ofstream(journal, std::ios::binary | std::ios::trunc) << text;
        if (text == "MHJ") {
            // A journal cut short as it began is nobody's edits: taken over.
            EditSession session(host, path, Journaling::On);
            EXPECT_FALSE(session.foundJournal());
            session.endJournal(true);
            continue;
        }
        try {
            EditSession session(host, path, Journaling::On);
            if (text.starts_with("MHJRNL1"))
                EXPECT_FALSE(session.foundJournal()) << "a torn header holds nothing";
            else
                ADD_FAILURE() << "a file that is not a journal was taken";
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find("not an mhost journal (it was left as it is)"),
                      std::string::npos)
                << e.what();
            EXPECT_EQ(test::readFile(journal), text);
        }
    }
    // Another scene's journal, copied beside this one.
    const std::string other = dir.file("other.json");
    fs::copy_file(path, other);
    {
        EditSession session(host, other, Journaling::On);
        session.apply(create("x"));
        session.endJournal(false);
    }
    fs::copy_file(EditJournal::pathFor(other), journal, fs::copy_options::overwrite_existing);
    const std::string copied = test::readFile(journal);
    try {
        EditSession session(host, path, Journaling::On);
        ADD_FAILURE() << "another scene's journal was taken";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("the journal of another scene"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(test::readFile(journal), copied);
}

TEST_F(Journal, ARecoveryOntoAChangedSceneMakesTheEditsThatStillApply) {
    {
        EditSession session(host, path, Journaling::On);
        session.apply(create("a"));
        session.apply(set("base", "t", {1, 2, 3}));
        session.endJournal(false);
    }
    // Another program renames base and adds a node of the same name.
    Scene theirs(host);
    loadScene(theirs, path);
    theirs.rename(theirs.node("base"), "root");
    theirs.create("null", "a");
    saveScene(theirs, path);

    EditSession again(host, path, Journaling::On);
    ASSERT_TRUE(again.foundJournal());
    EXPECT_TRUE(again.foundJournal()->sceneChanged);
    const EditSession::Reloaded outcome = again.recoverJournal();
    EXPECT_EQ(outcome.reapplied, 0u);
    ASSERT_EQ(outcome.dropped.size(), 2u);
    EXPECT_NE(outcome.dropped[0].find("\"a\""), std::string::npos) << outcome.dropped[0];
    EXPECT_NE(outcome.dropped[1].find("no node named \"base\""), std::string::npos)
        << outcome.dropped[1];
}

TEST_F(Journal, SavingAndEndingRemoveTheJournalWhileAnyPathToTheSceneIsRefused) {
    EditSession session(host, path, Journaling::On);
    session.apply(create("a"));
    const std::string journal = EditJournal::pathFor(path);
    ASSERT_TRUE(fs::exists(journal));
    // Another process: by a relative path, an absolute one and a link.
    fs::create_symlink("shot.json", dir.file("link.json"));
    for (const std::string& named : {std::string("shot.json"), path, std::string("link.json")}) {
        SCOPED_TRACE(named);
        const RunResult r = runMhost({"edit", named, "--port", "0"}, dir.path(), "");
        EXPECT_EQ(r.status, 2) << describe(r);
        EXPECT_NE(r.err.find("is being edited by mhost edit, process " +
                             std::to_string(::getpid()) + " (its journal"),
                  std::string::npos)
            << r.err;
    }
    session.save();
    session.endJournal(true);
    EXPECT_FALSE(fs::exists(journal));
}

TEST(JournalEffect, FollowsEditsMergesUndosRedosAndWholeScenes) {
    const auto edit = [](const char* name, bool merge = false) {
        Json r{{"edit", Json::array({create(name)})}, {"at", 1}};
        if (merge)
            r["merge"] = true;
        return r;
    };
    const Json undo{{"undo", true}, {"at", 1}}, redo{{"redo", true}, {"at", 1}};
    JournalEffect e = effectOf({edit("a"), edit("b"), undo, edit("c"), redo, edit("d", true)});
    ASSERT_EQ(e.steps.size(), 2u) << "the redo after c has nothing to redo";
    EXPECT_EQ(e.steps[1][0]["name"], "d") << "d takes c's place";
    e = effectOf({edit("a"), Json{{"scene", "text"}, {"at", 1}}, edit("b"), undo, undo, redo});
    EXPECT_EQ(e.scene, "text");
    ASSERT_EQ(e.steps.size(), 1u);
    EXPECT_EQ(e.steps[0][0]["name"], "b");
}

} // namespace
} // namespace mhost
