// Key tools: a keyed node's keys edited as a whole (mirrored, copied,
// inserted, deleted, sorted, retimed, exported and imported), the way a
// host tool edits them: by reading and setting the node's own parameters
// as user edits (callbacks run, enabled states refreshed). The module is
// not asked for anything; keyed_node.hpp holds the parameter rules these
// rely on.
//
// Every tool checks everything it is given before it changes anything:
// InputError (no such node, not a keyed node, key 0 where it cannot apply,
// a key out of range, a malformed library) leaves the scene as it was.
// Key parameters are read at the key time, 0, as the node reads them, and
// written as constants (an animated key parameter loses its channel).
#pragma once

#include "engine/host_session.hpp"
#include "json/json.hpp"

#include <array>
#include <string>
#include <vector>

namespace mhost {

// One key as the node's parameters hold it.
struct KeyRecord {
    double driver = 0.0;    // "keyval#"
    bool enable = true;     // "enable#"; key 0 is always enabled
    int transformOrder = 0; // "xOrd#", an index into the transform-order menu
    int rotateOrder = 0;    // "rOrd#", an index into the rotate-order menu
    std::array<double, 3> translate{0, 0, 0};
    std::array<double, 3> rotate{0, 0, 0}; // degrees
    std::array<double, 3> scale{1, 1, 1};
    std::array<double, 3> pivot{0, 0, 0};
    double uniformScale = 1.0; // "scale#"

    bool operator==(const KeyRecord&) const = default;
};

// A keyed node's keys and the options that blend them.
struct KeySet {
    int interp = 0; // "interp": 0 Euler, 1 quaternion
    bool ease = false;
    std::vector<KeyRecord> keys; // key 0, then keys 1.."numkeys"
};

// InputError naming the node unless it is a keyed node.
void requireKeyedNode(const OP_Node& node);

KeySet readKeys(const OP_Node& node);
// Makes the node's keys these ("numkeys", every key's parameters, "interp"
// and "ease"), as user edits.
void writeKeys(OP_Node& node, const KeySet& keys);
// The same for the keys alone; the node's "interp" and "ease" stay.
// InputError, nothing written, for no keys or key 0 not enabled.
void writeKeysOnly(OP_Node& node, const std::vector<KeyRecord>& keys);

// The plane a mirror reflects across: through the origin, normal to the
// axis, in the node's local space.
enum class MirrorAxis { X, Y, Z };
// "x", "y" or "z"; InputError otherwise.
MirrorAxis mirrorAxisFrom(const std::string& name);

// The keys mirrored: the translate and pivot component along the axis
// negated, and the rotations about the two other axes (conjugating a
// rotation about an axis by the reflection keeps it about the same axis,
// reversing it for the two axes in the plane); the angle about the normal,
// scales, driver values and orders kept. Angles stay as stored, never
// taken again from a matrix.
KeySet mirroredKeys(const KeySet& keys, MirrorAxis axis);

// DST's keys and options become SRC's mirrored (SRC may be DST).
void mirrorKeys(const OP_Node& src, OP_Node& dst, MirrorAxis axis);
// Every keyed node whose name holds `match` mirrored to the node named
// with each `match` replaced by `replacement`; InputError naming a missing
// partner (nothing mirrored then), or when no keyed node's name holds it.
// Returns the pairs, in the scene's order.
std::vector<std::pair<std::string, std::string>> mirrorKeysByName(Scene& scene,
                                                                  const std::string& match,
                                                                  const std::string& replacement,
                                                                  MirrorAxis axis);
// DST's keys and options become SRC's, bit for bit.
void copyKeys(const OP_Node& src, OP_Node& dst);

// Adds a key at driver holding the node's blended pose there, so that its
// cooked local matrix at driver stays as it was (and, blending Euler angles
// without ease, its whole sweep). The key goes before the first key above
// driver (after the last key when driver is above them all), the later keys
// renumbered, in key 0's orders. InputError for a driver at or below key 0's
// (which would never be reached) or at a driver value a key already has.
// Returns its key number.
int insertKey(OBJ_Node& node, double driver);
// Removes key (1.."numkeys"), the later keys renumbered with all they
// hold. InputError for key 0 or a key out of range.
void deleteKey(OP_Node& node, int key);
// Orders keys 1.."numkeys" by driver value, ties (and NaNs, last) in key
// order.
void sortKeys(OP_Node& node);
// Maps every key's driver value v to scale * v + offset (scale > 0), so
// that the pose at scale * v + offset after is the pose at v before.
void retimeKeys(OP_Node& node, double scale, double offset);

// The names a key library gives a keyed node's menu values, from the
// node's own menus: "interp" ("euler", "quat"), the transform orders
// ("srt", "str", ...) and the rotate orders ("xyz", "xzy", ...).
enum class KeyMenu { Interp, TransformOrder, RotateOrder };
// InputError for an index the menu does not hold.
std::string keyMenuName(const OP_Node& node, KeyMenu menu, int index);
// InputError naming the menu's items for a name it does not hold.
int keyMenuIndex(const OP_Node& node, KeyMenu menu, const std::string& name);

// The key library: a file of one node's keys and options.
//   {"format": "mhost-keys", "version": 1, "interp": "euler", "ease": false,
//    "keys": [{"driver", "enable", "translate", "rotate", "scale", "pivot",
//              "uniformScale", "transformOrder": "srt", "rotateOrder": "xyz"}, ...]}
// Orders and "interp" by their menu items' names (the node's menus);
// numbers as scene files write them ("nan", "inf", "-inf" as text).
inline constexpr const char* kKeyLibraryFormat = "mhost-keys";
inline constexpr int kKeyLibraryVersion = 1;
// The node's keys as a library document.
Json keyLibrary(const OP_Node& node);
// Reads a library document for node (whose menus name the orders). Strict:
// a missing, unknown or mistyped field, an order no menu has, key 0 not
// enabled: InputError naming the place ("source: keys[2].rotateOrder: ...").
KeySet keysFromLibrary(const OP_Node& node, const Json& library, const std::string& source);
// Writes node's keys to a library file, by the output rules.
void exportKeys(const OP_Node& node, const std::string& file);
// Makes node's keys and blend options those of a library file.
void importKeys(OP_Node& node, const std::string& file);

} // namespace mhost
