// `mhost demo`: a keyed node rigged in memory the way a rigger would, then
// swept across its keys.
#pragma once

#include "engine/evaluation.hpp"
#include "engine/host_session.hpp"

namespace mhost {

struct DemoOptions {
    bool quaternion = false; // "interp": quaternion rather than Euler blending
    bool ease = false;
    int steps = 20; // equal steps across the keyed range
};

// One key of the demo: the driver value it is made at and the dummy's pose.
struct DemoKey {
    double driver;
    std::array<double, 3> translate, rotate, scale;
};

// The keys the demo makes, key 0 first.
const std::vector<DemoKey>& demoKeys();

// Builds the demo scene in scene: a "null" key dummy wired into input 1 of a
// "quenlo" node "q", with one key per demoKeys() entry made by setting
// "driverval", posing the dummy by user edits and pressing the key's Get key
// button. InputError when no loaded module provides "quenlo".
OBJ_Node& buildDemoScene(Scene& scene, const DemoOptions& options);

// Builds the demo scene and sweeps it over the keyed range.
EvalReport runDemo(Scene& scene, const DemoOptions& options);

} // namespace mhost
