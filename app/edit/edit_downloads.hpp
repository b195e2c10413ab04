// What the editor's page downloads besides the state: the scene's bake over
// its timeline, as a USD layer.
#pragma once

#include "engine/host_session.hpp"

#include <string>

namespace mhost {

// The scene baked at every frame of its timeline (frame F at time
// (F - 1) / fps), as `mhost bake --time FROM:TO:STEPS --out NAME.usda` bakes
// and writes it with FROM and TO the first and last frames' seconds and
// STEPS the frames less one; its doc names source and the editor. InputError for a timeline of one
// frame (a layer's samples need times that increase).
std::string timelineBakeAsUsd(Scene& scene, const std::string& source);

} // namespace mhost
