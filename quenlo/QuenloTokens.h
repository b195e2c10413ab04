// Tokens of the quenlo node's own parameters and of the key dummy's
// transform parameters, and how keys are addressed through them.
//
// "#" in a token stands for a key's instance number; the key 0 block uses the
// same tokens with "0" in its place, so every key, key 0 included, is
// addressed through the "#" form with the key number as instance (keyZero
// for key 0), at keyTime.
#pragma once

#include "OBJ/OBJ_Node.h" // OBJ_Token, the key dummy's tokens

#include <array>

namespace quenlo {

// Every key parameter and option is read and written at this time; only
// "driverval" (and the key dummy) follow the current time.
inline constexpr float keyTime = 0.0f;
// The instance number that addresses the key 0 block through "#" tokens.
inline constexpr int keyZero = 0;

} // namespace quenlo

namespace quenlo::token {

inline constexpr char driverVal[] = "driverval";
inline constexpr char numKeys[] = "numkeys";
inline constexpr char interp[] = "interp";
inline constexpr char ease[] = "ease";

// Per-key parameters ("#" replaced by the key number).
inline constexpr char enable[] = "enable#";
inline constexpr char keyVal[] = "keyval#";
inline constexpr char getKey[] = "getkey#";
inline constexpr char xOrd[] = "xOrd#";
inline constexpr char rOrd[] = "rOrd#";
inline constexpr char translate[] = "t#";
inline constexpr char rotate[] = "r#";
inline constexpr char scale[] = "s#";
inline constexpr char pivot[] = "pivot#";
inline constexpr char uniformScale[] = "scale#";
inline constexpr char reset[] = "reset#";
inline constexpr char putKey[] = "putkey#";

inline constexpr char sep0[] = "sep0";
inline constexpr char sep1[] = "sep1";
inline constexpr char sep2[] = "sep2";
inline constexpr char switcher[] = "quenloswitcher";

// Button prefixes; the key number follows them in decimal digits.
inline constexpr char getKeyPrefix[] = "getkey";
inline constexpr char putKeyPrefix[] = "putkey";
inline constexpr char resetPrefix[] = "reset";

// The parameters of a key whose enabled state follows its "enable#" toggle,
// in the order they are refreshed.
inline constexpr std::array<const char*, 9> keyDependents = {
    keyVal, getKey, translate, rotate, scale, pivot, uniformScale, reset, putKey};

// The key dummy's transform parameters (an ordinary host object's).
namespace dummy = ::OBJ_Token;

} // namespace quenlo::token
