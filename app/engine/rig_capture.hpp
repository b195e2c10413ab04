// What the glTF export and the 3D viewer show of a sweep besides its rows:
// the swept node's parent chain and key dummy, each with its transforms at
// every sample, the poses of its keys, and the time of every sample.
#pragma once

#include "engine/evaluation.hpp"

#include <string>
#include <vector>

namespace mhost {

struct RigTrack {
    enum class Role { Parent, Dummy, Swept };
    std::string name;
    std::string type;
    Role role = Role::Parent;
    // The track this one hangs under (an index into RigCapture::tracks), or
    // -1 for a root.
    int parent = -1;
    // One matrix per sample, host convention (row vectors, row-major).
    // `local` is relative to the parent track: a root's local is its world
    // transform, so that composing locals down the tracks gives the worlds.
    std::vector<Matrix16> local;
    std::vector<Matrix16> world;
};

// A key pose as the swept node takes it at the key's driver value.
struct KeyGhost {
    int key = 0;
    double driver = 0.0;
    Matrix16 local{};
    Matrix16 world{};
};

struct RigCapture {
    // The parent chain, root first, then the key dummy (when input 1 holds
    // one), then the swept node, last. Parents follow the sample times of a
    // time sweep; in a driver sweep they hold still.
    std::vector<RigTrack> tracks;
    std::vector<KeyGhost> ghosts;
    // Seconds of each sample: the cook times of a time sweep; the sample
    // index / kDriverSampleRate for a driver sweep (and 0 for one cook).
    std::vector<double> times;
};

// Frames per second at which a driver sweep's samples are laid out in time.
inline constexpr double kDriverSampleRate = 24.0;

// Collects the capture of report, which was made by cooking node. Cooks the
// parents and the dummy at the report's times and the node at its key
// values ("driverval" is restored afterwards).
RigCapture captureRig(OBJ_Node& node, const EvalReport& report);

} // namespace mhost
