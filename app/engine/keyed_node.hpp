// Keyed nodes, as mhost sees them: through their parameters, like a user.
//
// mhost knows a module only through the SDK. A keyed node is any object
// with the parameters of the quenlo type's interface ("driverval", a key 0
// block with "keyval0" and "xOrd0", keys 1.."numkeys" with "enable#" and
// "keyval#"); mhost reads them by token, and this is the one place where
// those tokens and the module's documented rules about them are written:
//
//  * which keys are active: key 0 always, then each key 1..numkeys whose
//    "enable#" is on, in key order, with its "keyval#" (readActiveKeys);
//  * every key parameter and option is read at time 0, and the pose is
//    applied in key 0's orders, "xOrd0" and "rOrd0";
//  * the blend (insertKey, key_tools.hpp): the lower and upper key around
//    the driver value, found by scanning the active keys in key order (the
//    first at or above it is the upper, the one before it the lower; key 0
//    for both at or below key 0's value; the last two above them all); the
//    weight, the driver's place between their values clamped to 0..1 (1/2
//    for values within 1e-8 of each other), eased with 3w^2 - 2w^3 when
//    "ease" is on; each key's scale times its uniform scale; then
//    translate, scale, pivot and, with "interp" Euler, each angle as
//    stored, blended linearly; with "interp" quaternion, the rotations
//    blended along the shorter arc in key 0's rotate order.
//
// Why a reader here rather than a call into the module: the module's node
// overrides exactly the host operations its design lists, none of which
// reports keys or blends, and adding one would change the module for the
// host program's sake. These rules are part of the module's parameter
// interface (quenlo/README.md), which scenes already depend on; a tool that
// relies on the blend (insertKey) checks what it made against the module's
// own cook.
#pragma once

#include <OP/OP_Node.h>

#include <vector>

namespace mhost {

namespace keyed {
inline constexpr const char* kType = "quenlo";
inline constexpr const char* kDriver = "driverval";
inline constexpr const char* kInterp = "interp"; // 0 Euler, anything else quaternion
inline constexpr const char* kEase = "ease";
inline constexpr const char* kKeyCount = "numkeys";
inline constexpr const char* kKeyEnable = "enable#";
inline constexpr const char* kKeyValue = "keyval#";
inline constexpr const char* kKeyZeroValue = "keyval0";
inline constexpr const char* kKeyZeroXformOrder = "xOrd0";
inline constexpr const char* kKeyZeroRotateOrder = "rOrd0";
inline constexpr const char* kGetKeyPrefix = "getkey"; // followed by the key number
// Every key's parameters, key 0's included: "#" stands for the key number
// ("t#" of key 3 is "t3", of key 0 "t0"; key 0 has no "enable0"). Each key
// keeps its own orders; the pose is applied in key 0's.
inline constexpr const char* kKeyTranslate = "t#";
inline constexpr const char* kKeyRotate = "r#";
inline constexpr const char* kKeyScale = "s#";
inline constexpr const char* kKeyPivot = "pivot#";
inline constexpr const char* kKeyUniformScale = "scale#";
inline constexpr const char* kKeyXformOrder = "xOrd#";
inline constexpr const char* kKeyRotateOrder = "rOrd#";
// When key parameters are read.
inline constexpr float kKeyTime = 0.0f;
} // namespace keyed

// An active key of a keyed node: its number and driver value.
struct KeyMark {
    int key = 0;
    double driver = 0.0;
};

// Whether the node is keyed: it has "driverval" and the key 0 block.
bool isKeyedNode(const OP_Node& node);

// The active keys of a keyed node, by the module's rule (see above); none
// for any other node.
std::vector<KeyMark> readActiveKeys(const OP_Node& node);

} // namespace mhost
