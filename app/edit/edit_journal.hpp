// The journal of an editing session: every change `mhost edit` makes to its
// scene, appended to a file beside the scene and synced to disk before the
// change is answered, so that a session that ends without saving (a crash,
// the OOM killer, a power cut) loses no edit the page was told was made.
// The next session on the scene finds it and offers to recover it.
//
// The file is `.NAME.mhost-journal` beside the scene file NAME (every link
// followed), mode 0600. A session holds it locked (flock) for its whole
// life: a second session on the same file, by whatever path, finds it
// locked and is refused, naming the process that holds it.
//
// Why records framed in a file of our own rather than SQLite: the journal
// is written in one order, one record per change, and read back whole,
// once, in the same order. An append-only file whose records each carry
// their length and a checksum gives that with one write and one fdatasync
// per change and no dependency, and its one way to fail, a record torn by a
// crash in the middle of its write, is found by the frame and cut off, every
// whole record before it kept. SQLite's write-ahead log would make the same
// guarantee at the cost of a library, a schema and more files beside the
// scene.
//
// Layout: the 8 bytes "MHJRNL1\n", then records, each a 4-byte length
// (little-endian), the 8-byte contentHash of the payload, and the payload,
// JSON text. The first record is the header:
//   {"journal": "mhost-edit", "scene": the scene's absolute path,
//    "stamp": the scene file's stamp when the session read it (or null
//    where there was none), "pid": the session's process, "started": ms}
// and each record after it one change, "at" its time (ms since the epoch):
//   {"edit": [script actions], "at"}   one step, as Download script gives it
//   {"edit": [...], "merge": true, "at"}  the same, taking the place of the
//                                      step before (a drag)
//   {"undo": true, "at"}, {"redo": true, "at"}
//   {"scene": text, "at"}              the whole scene: an undo or redo that
//                                      reaches past what the journal holds
// A save starts the journal afresh (the header alone); a session that ends
// with nothing unsaved, or whose user discards the edits, removes it.
#pragma once

#include "support/file_io.hpp"
#include "json/json.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mhost {

// What a journal's changes leave in effect: the scene they start from (the
// session's file, or the whole scene of the last "scene" record) and the
// steps in effect on it, in order.
struct JournalEffect {
    std::optional<std::string> scene;
    std::vector<std::vector<Json>> steps;
};
JournalEffect effectOf(const std::vector<Json>& records);

class EditJournal {
public:
    // `.NAME.mhost-journal` beside the file scenePath names, links followed.
    static std::string pathFor(const std::string& scenePath);

    struct Header {
        std::string scene;
        std::optional<FileStamp> stamp;
        long pid = 0;
        std::int64_t started = 0; // ms since the epoch
    };
    // What a journal file holds.
    struct Contents {
        std::optional<Header> header; // none for an empty file (or one torn in its header)
        std::vector<Json> records;    // the changes, in order
        std::int64_t last = 0;        // when the last was written (ms since the epoch)
        // Where a torn or damaged record was cut off, for the user; "" when
        // the journal ends cleanly.
        std::string stopped;
    };
    // Reads a journal's bytes: every whole record up to the first torn or
    // damaged one. InputError (naming path) for bytes that are not a
    // journal's.
    static Contents parse(std::string_view bytes, const std::string& path);

    // Takes the journal of the scene at scenePath, making it if there is
    // none, and locks it for this object's life. InputError when another
    // process holds it (naming that process), when the file is not a
    // journal, or when it is another scene's; the file is then left as it
    // is.
    explicit EditJournal(const std::string& scenePath);
    ~EditJournal();
    EditJournal(const EditJournal&) = delete;
    EditJournal& operator=(const EditJournal&) = delete;

    const std::string& path() const { return path_; }
    // What the file held when it was taken.
    const Contents& found() const { return found_; }

    // Starts the journal afresh: the header with the scene's stamp (none
    // where there is no file), then the records. Synced before it returns;
    // RunError when it cannot be written.
    void restart(const std::optional<FileStamp>& stamp, const std::vector<Json>& records = {});
    // Appends one record, with its time, synced before it returns. RunError
    // when it cannot be written (the journal then holds the records before).
    void append(Json record);
    // Removes the file; it stays locked until this object goes.
    void remove();

    // Milliseconds since the epoch, the clock of "at" and "started".
    static std::int64_t now();

private:
    std::string frame(const Json& payload) const;
    void writeAt(std::size_t offset, std::string_view bytes);
    void sync();

    std::string path_;
    std::string scene_; // the scene's absolute path, as the header names it
    int fd_ = -1;
    std::size_t end_ = 0; // where the next record goes
    bool removed_ = false;
    Contents found_;
};

} // namespace mhost
