// mhost bake: its options, the files it reads and writes, the progress
// line it shows on a terminal, and the bake.
#include "cli/command_rows.hpp"
#include "cli/sweep_range.hpp"
#include "engine/bake.hpp"
#include "output/bake_files.hpp"
#include "support/errors.hpp"
#include "support/file_io.hpp"
#include "support/text.hpp"

#include <unistd.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace mhost {

namespace {

struct BakeOptions {
    std::string scene;
    std::string time;
    std::string out;
    std::string frames;
    int threads = 0;
    std::vector<std::string> nodes;
};

void planFiles(BakeOptions& o, FilePlan& plan) {
    plan.reads(o.scene, "SCENE", FilePlan::Kind::Scene);
    const std::vector<std::string> files = bakeFiles(o.out);
    plan.writes(files[0], "--out");
    if (files.size() > 1)
        plan.writes(files[1], "the side file of --out");
}

void addBakeOptions(CLI::App& bake, BakeOptions& o) {
    bake.add_option("SCENE", o.scene, "Scene file (JSON)")->required();
    bake.add_option("--time", o.time,
                    "Cook at STEPS + 1 equal times from FROM to TO seconds (the drivers follow "
                    "their animation)")
        ->type_name("FROM:TO:STEPS")
        ->required();
    bake.add_option("--out", o.out,
                    "NAME.npy (world matrices, with NAME.json naming the nodes and times), "
                    "NAME.glb / NAME.gltf (the nodes as wired, animated) or NAME.usda (a USD "
                    "layer of the nodes as wired, animated)")
        ->type_name("FILE")
        ->required();
    bake.add_option("--threads", o.threads,
                    "Processes cooking at once (default: one per core); the output is the same "
                    "for any number")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    bake.add_option("--frames", o.frames,
                    "Bake samples I to J only, both included, counting from 0 (a share of a "
                    "farm's bake: shares put end to end make the whole)")
        ->type_name("I:J");
    bake.add_option("--nodes", o.nodes,
                    "Bake these nodes and the nodes they read (default: every node)")
        ->type_name("NAME");
}

// A progress line on standard error while a long bake runs, when that is a
// terminal: samples done, the rate and the time left.
class BakeProgress {
public:
    BakeProgress() : shown_(::isatty(STDERR_FILENO) == 1) {}
    ~BakeProgress() {
        if (drawn_)
            std::cerr << "\r\033[K" << std::flush;
    }
    BakeProgress(const BakeProgress&) = delete;
    BakeProgress& operator=(const BakeProgress&) = delete;

    void operator()(std::size_t done, std::size_t total) {
        using namespace std::chrono;
        const auto now = steady_clock::now();
        const double elapsed = duration<double>(now - start_).count();
        // Nothing for a bake of a second or less, then four updates a second.
        if (!shown_ || elapsed < 1.0 || now - last_ < milliseconds(250) || done == 0)
            return;
        last_ = now;
        drawn_ = true;
        const double rate = static_cast<double>(done) / elapsed;
        const double left = static_cast<double>(total - done) / rate;
        std::cerr << "\rmhost bake: " << done << "/" << total << " samples, "
                  << formatFixed(rate, 1) << " a second, " << formatFixed(left, 0) << " s left"
                  << std::flush;
    }

private:
    bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_{};
};

int runBakeCommand(Host& host, const BakeOptions& o) {
    BakeRequest request;
    request.times = parseSweepRange(o.time, "--time");
    if (!o.frames.empty())
        request.frames = parseSampleSpan(o.frames, "--frames");
    request.nodes = o.nodes;
    request.workers = o.threads;
    BakeProgress progress;
    request.progress = std::ref(progress);
    // What the USD layer's doc names; --threads changes nothing written.
    std::string command = "mhost bake " + o.scene + " --time " + o.time;
    if (!o.frames.empty())
        command += " --frames " + o.frames;
    for (const std::string& node : o.nodes)
        command += " --nodes " + node;
    BakeWriter writer(o.out,
                      {o.scene == "-" ? "standard input" : o.scene, command + " --out " + o.out});
    writer.feedFrom(request);
    const BakeResult bake = bakeSceneFile(host, readTextFile(o.scene),
                                          o.scene == "-" ? "standard input" : o.scene, request);
    for (const std::string& warning : writer.finish(bake))
        std::cerr << "mhost: warning: " << warning << '\n';
    return kExitOk;
}

} // namespace

CommandRun bakeCommand(CLI::App& sub) {
    return bind<BakeOptions, addBakeOptions, planFiles, runBakeCommand>(sub);
}

} // namespace mhost
