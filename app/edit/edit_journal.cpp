#include "edit/edit_journal.hpp"

#include "support/errors.hpp"
#include "support/output_file.hpp"
#include "support/text.hpp"

#include <chrono>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mhost {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMagic("MHJRNL1\n", 8);
constexpr std::size_t kFrameBytes = 4 + 8; // length, hash
// A record longer than this is damage, not a record: a scene's whole text
// is the longest a journal holds, and mhost reads no larger scene.
constexpr std::size_t kMaxRecord = kMaxInputBytes;
constexpr const char* kKind = "mhost-edit";

std::uint64_t readLittle(std::string_view bytes, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

void putLittle(std::string& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xff);
}

Json stampToJson(const std::optional<FileStamp>& stamp) {
    if (!stamp)
        return nullptr;
    return {{"present", stamp->present}, {"device", stamp->device},     {"inode", stamp->inode},
            {"size", stamp->size},       {"modified", stamp->modified}, {"readAt", stamp->readAt},
            {"hash", stamp->hash},       {"file", stamp->file}};
}

std::optional<FileStamp> stampFromJson(const Json& j) {
    if (!j.is_object())
        return std::nullopt;
    FileStamp stamp;
    stamp.file = j.value("file", "");
    stamp.present = j.value("present", true);
    stamp.device = j.value("device", std::uint64_t(0));
    stamp.inode = j.value("inode", std::uint64_t(0));
    stamp.size = j.value("size", std::uint64_t(0));
    stamp.modified = j.value("modified", std::int64_t(0));
    stamp.readAt = j.value("readAt", std::int64_t(0));
    stamp.hash = j.value("hash", std::uint64_t(0));
    return stamp;
}

// Whether a record is one of the changes a journal holds.
bool isChange(const Json& record) {
    if (!record.is_object() || !record.contains("at") || !record["at"].is_number_integer())
        return false;
    if (const auto edit = record.find("edit"); edit != record.end())
        return edit->is_array() && !edit->empty();
    if (const auto scene = record.find("scene"); scene != record.end())
        return scene->is_string();
    return record.value("undo", false) || record.value("redo", false);
}

std::string systemError() {
    return std::strerror(errno);
}

} // namespace

JournalEffect effectOf(const std::vector<Json>& records) {
    // The history a session replaying the records would keep: every step,
    // and how many are in effect (the rest undone, waiting for redo).
    JournalEffect effect;
    std::vector<std::vector<Json>>& steps = effect.steps;
    std::size_t done = 0;
    for (const Json& record : records) {
        if (const auto edit = record.find("edit"); edit != record.end()) {
            steps.resize(done);
            std::vector<Json> actions(edit->begin(), edit->end());
            if (record.value("merge", false) && done > 0) {
                steps.back() = std::move(actions);
            } else {
                steps.push_back(std::move(actions));
                ++done;
            }
        } else if (const auto scene = record.find("scene"); scene != record.end()) {
            effect.scene = scene->get<std::string>();
            steps.clear();
            done = 0;
        } else if (record.value("undo", false)) {
            done -= done > 0 ? 1 : 0;
        } else if (record.value("redo", false)) {
            done += done < steps.size() ? 1 : 0;
        }
    }
    steps.resize(done);
    return effect;
}

std::int64_t EditJournal::now() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string EditJournal::pathFor(const std::string& scenePath) {
    const fs::path scene(fileKey(scenePath));
    // The name cut short where it would pass the usual limit of 255 bytes;
    // the header tells two scenes that share the rest apart.
    constexpr std::string_view kSuffix = ".mhost-journal";
    const std::string name(utf8Prefix(scene.filename().string(), 255 - 1 - kSuffix.size()));
    return (scene.parent_path() / ("." + name + std::string(kSuffix))).string();
}

EditJournal::Contents EditJournal::parse(std::string_view bytes, const std::string& path) {
    Contents contents;
    if (bytes.size() < kMagic.size()) {
        // Empty, or cut short in its first bytes by a crash as it started.
        if (kMagic.substr(0, bytes.size()) != bytes)
            throw InputError(path + ": not an mhost journal (it was left as it is)");
        if (!bytes.empty())
            contents.stopped = "the journal was cut short at byte " + std::to_string(bytes.size()) +
                               ", before any record";
        return contents;
    }
    if (bytes.substr(0, kMagic.size()) != kMagic)
        throw InputError(path + ": not an mhost journal (it was left as it is)");
    std::size_t at = kMagic.size();
    while (at < bytes.size()) {
        const auto damaged = [&](const std::string& what) {
            contents.stopped = "the journal ends in " + what + " at byte " + std::to_string(at) +
                               " (a crash while it was written); the " +
                               std::to_string(contents.records.size()) +
                               " whole changes before it are kept";
        };
        if (bytes.size() - at < kFrameBytes) {
            damaged("a torn record");
            break;
        }
        const std::size_t length = readLittle(bytes, at, 4);
        const std::uint64_t hash = readLittle(bytes, at + 4, 8);
        if (length > kMaxRecord || length > bytes.size() - at - kFrameBytes) {
            damaged("a torn record");
            break;
        }
        const std::string_view payload = bytes.substr(at + kFrameBytes, length);
        Json record;
        bool whole = contentHash(payload) == hash;
        if (whole) {
            try {
                record = Json::parse(payload);
            } catch (const Json::exception&) {
                whole = false;
            }
        }
        if (!contents.header) {
            if (!whole) {
                damaged("a torn header");
                break;
            }
            if (!record.is_object() || record.value("journal", "") != kKind ||
                !record.contains("scene") || !record["scene"].is_string())
                throw InputError(path + ": not an mhost journal (it was left as it is)");
            Header header;
            header.scene = record["scene"].get<std::string>();
            header.stamp = stampFromJson(record.value("stamp", Json()));
            header.pid = record.value("pid", 0L);
            header.started = record.value("started", std::int64_t(0));
            contents.header = std::move(header);
            contents.last = contents.header->started;
        } else {
            if (!whole || !isChange(record)) {
                damaged("a damaged record");
                break;
            }
            contents.last = record["at"].get<std::int64_t>();
            contents.records.push_back(std::move(record));
        }
        at += kFrameBytes + length;
    }
    return contents;
}

EditJournal::EditJournal(const std::string& scenePath)
    : path_(pathFor(scenePath)), scene_(fileKey(scenePath)) {
    // Never through a link: a journal is only ever this file of ours.
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0)
        throw InputError(
            path_ + ": cannot open the session's journal: " + systemError() +
                (errno == ELOOP ? " (a symbolic link, which mhost does not follow)" : "") +
                " (--no-journal edits without one)",
            FailureKind::File);
    struct stat status {};
    std::string bytes;
    const auto readAll = [&] {
        if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode))
            throw InputError(path_ + ": the session's journal is not a regular file",
                             FailureKind::File);
        if (static_cast<std::size_t>(status.st_size) > kMaxInputBytes)
            throw InputError(path_ + ": larger than any journal mhost writes (left as it is)");
        bytes.resize(static_cast<std::size_t>(status.st_size));
        if (!bytes.empty() &&
            ::pread(fd_, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
            throw InputError(path_ + ": cannot read the session's journal: " + systemError(),
                             FailureKind::File);
    };
    try {
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            std::string holder = "another mhost edit session";
            try {
                readAll();
                const Contents held = parse(bytes, path_);
                if (held.header && held.header->pid > 0)
                    holder = "mhost edit, process " + std::to_string(held.header->pid);
            } catch (const Failure&) {
            }
            throw InputError(quote(scenePath) + " is being edited by " + holder + " (its journal " +
                                 quote(path_) +
                                 " is locked): one session per scene; end that one first, or "
                                 "start with --no-journal",
                             FailureKind::File);
        }
        readAll();
        found_ = parse(bytes, path_);
        if (found_.header && found_.header->scene != scene_) {
            // The same scene whose folder was moved keeps its file; any
            // other file is another scene.
            const fs::path was(found_.header->scene);
            struct stat scene {};
            const std::optional<FileStamp>& stamp = found_.header->stamp;
            const bool moved = was.filename() == fs::path(scene_).filename() && stamp &&
                               stamp->present && ::stat(scene_.c_str(), &scene) == 0 &&
                               scene.st_dev == stamp->device && scene.st_ino == stamp->inode;
            if (!moved)
                throw InputError(path_ + ": the journal of another scene, " +
                                     quote(found_.header->scene) + " (it was left as it is)",
                                 FailureKind::File);
        }
    } catch (...) {
        ::close(fd_);
        throw;
    }
    end_ = bytes.size();
}

EditJournal::~EditJournal() {
    ::close(fd_); // releases the lock
}

std::string EditJournal::frame(const Json& payload) const {
    const std::string text = payload.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::string out;
    out.reserve(kFrameBytes + text.size());
    putLittle(out, text.size(), 4);
    putLittle(out, contentHash(text), 8);
    return out + text;
}

void EditJournal::writeAt(std::size_t offset, std::string_view bytes) {
    if (writeAllAt(fd_, offset, bytes))
        return;
    const std::string why = systemError();
    // What was written of a record is cut off: the journal ends whole.
    if (::ftruncate(fd_, static_cast<off_t>(end_)) != 0) {
    }
    throw RunError(path_ + ": cannot write the session's journal: " + why +
                       "; the change was not made",
                   FailureKind::File);
}

void EditJournal::sync() {
    if (::fdatasync(fd_) != 0)
        throw RunError(path_ + ": cannot write the session's journal: " + systemError() +
                           "; the change was not made",
                       FailureKind::File);
}

void EditJournal::restart(const std::optional<FileStamp>& stamp, const std::vector<Json>& records) {
    std::string bytes(kMagic);
    const std::int64_t started = now();
    bytes += frame(Json{{"journal", kKind},
                        {"scene", scene_},
                        {"stamp", stampToJson(stamp)},
                        {"pid", static_cast<long>(::getpid())},
                        {"started", started}});
    for (Json record : records) {
        record["at"] = started;
        bytes += frame(record);
    }
    // Emptied first: a crash on the way leaves a journal cut short in its
    // header, which holds nothing, never the old records after a new header.
    end_ = 0;
    if (::ftruncate(fd_, 0) != 0)
        throw RunError(path_ + ": cannot write the session's journal: " + systemError(),
                       FailureKind::File);
    writeAt(0, bytes);
    sync();
    end_ = bytes.size();
}

void EditJournal::append(Json record) {
    record["at"] = now();
    const std::string bytes = frame(record);
    writeAt(end_, bytes);
    try {
        sync();
    } catch (const RunError&) {
        if (::ftruncate(fd_, static_cast<off_t>(end_)) != 0) {
        }
        throw;
    }
    end_ += bytes.size();
}

void EditJournal::remove() {
    if (!removed_ && ::unlink(path_.c_str()) == 0)
        removed_ = true;
}

} // namespace mhost
