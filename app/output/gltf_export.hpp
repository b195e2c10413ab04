// `--gltf FILE`: a sweep as a glTF 2.0 animation.
//
// Conventions. The host multiplies row vectors by row-major matrices
// (p' = p · M, translation in the last row); glTF multiplies column vectors
// (p' = N · p) and stores its matrices column by column. N is the transpose
// of M, so the 16 numbers of a host matrix in row-major order are the glTF
// matrix in glTF's own order. glTF's TRS is N = T · R · S: scale first, then
// rotation (a unit quaternion x, y, z, w), then translation.
#pragma once

#include "engine/rig_capture.hpp"

#include <array>
#include <string>
#include <vector>

namespace mhost {

struct Trs {
    std::array<double, 3> translation{0, 0, 0};
    std::array<double, 4> rotation{0, 0, 0, 1}; // x, y, z, w
    std::array<double, 3> scale{1, 1, 1};
    // The matrix held shear (or a zero scale): TRS is the nearest one.
    bool approximate = false;
};

// The TRS of a host matrix: exact for a rotation with scale (a mirror
// becomes a negative x scale); for a matrix with shear, the rotation of its
// polar decomposition and the scale along its axes.
Trs toTrs(const Matrix16& hostMatrix);

// Whether a glTF file written to path is binary (.glb) rather than JSON
// (.gltf), by its extension in either case; a standard stream
// (/dev/stdout) gets JSON. InputError naming `option` for any other name.
bool isBinaryGltf(const std::string& path, const std::string& option = "--gltf");

// Writes the capture as a glTF 2.0 file: binary (.glb) or JSON with the
// buffer embedded as a data URI, by isBinaryGltf. One glTF
// node per track, named as in the scene, parents above children; one
// animation with linear samplers giving the swept node's translation,
// rotation and scale at every sample time (and a parent's or the dummy's,
// when they move). Returns warnings (shear that TRS cannot carry); RunError
// for a matrix that is not finite; the file follows mhost's output rules.
std::vector<std::string> writeGltf(const EvalReport& report, const RigCapture& capture,
                                   const std::string& path);

struct GltfNames {
    std::string animation;
    std::string scene;
};
// The same for any tracks: one sample of each track per time (seconds).
// With animateEveryTrack every track gets channels, else only the swept one
// and those that move.
std::vector<std::string> writeGltfTracks(const std::vector<RigTrack>& tracks,
                                         const std::vector<double>& times, const GltfNames& names,
                                         bool animateEveryTrack, const std::string& path);

} // namespace mhost
