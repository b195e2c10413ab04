#include "edit/edit_downloads.hpp"

#include "engine/bake.hpp"
#include "output/bake_files.hpp"
#include "support/errors.hpp"
#include "support/file_io.hpp"
#include "support/text.hpp"

#include <filesystem>

#include <stdlib.h>

namespace mhost {

namespace {

// A folder of its own, removed with what it holds.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "mhost-bake-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw RunError("cannot make a folder for the bake in " +
                           std::filesystem::temp_directory_path().string());
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

} // namespace

std::string timelineBakeAsUsd(Scene& scene, const std::string& source) {
    const Timeline timeline = scene.timeline();
    if (timeline.frames() < 2)
        throw InputError("the timeline holds one frame: a USD bake needs two or more");
    BakeRequest request;
    // As `mhost bake --time FROM:TO:STEPS` samples them: FROM and TO the
    // first and last frames' seconds.
    request.times = SweepRange::checked(timeline.seconds(timeline.start),
                                        timeline.seconds(timeline.end), timeline.frames() - 1);
    // The layer is written by the bake's own writer, to a file of its own
    // beside nothing of the user's, and read back for the page.
    const ScratchFolder folder;
    const std::string path = folder.file("bake.usda");
    BakeWriter writer(path, {source, "mhost edit: Download bake as USD, frames " +
                                         std::to_string(timeline.start) + " to " +
                                         std::to_string(timeline.end) + " at " +
                                         formatShortest(timeline.fps) + " fps"});
    writer.feedFrom(request);
    writer.finish(bakeScene(scene, request));
    return readTextFile(path);
}

} // namespace mhost
