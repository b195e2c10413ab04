// The key editing buttons: Get key, Put key and Reset transform.
#pragma once

#include <cstddef>
#include <optional>

class PRM_Template;

namespace quenlo {

// The key number that follows the first `prefixLength` characters of a
// button token: decimal digits only, up to the end of the token, within the
// int range. Anything else (no token, no digits, a sign, other characters,
// too large a number) names no key.
std::optional<int> keyNumberFromToken(const char* token, std::size_t prefixLength);

// The three buttons of every key. [host thread] When the user presses the
// button; tplate is the pressed instance's template, its token ending in the
// key number, and time the press time. Each returns 1. With nothing wired
// into input 1, Get key and Put key warn "Key dummy is not connected" and
// touch nothing.

// Copies the key dummy's transform (input 1) into the key, stamps the key
// with the current "driverval" and rebuilds the key table.
int getKeyCallback(void* data, int index, float time, const PRM_Template* tplate);
// Poses the key dummy with the key's stored transform.
int putKeyCallback(void* data, int index, float time, const PRM_Template* tplate);
// Returns the key to the identity pose and rebuilds the key table.
int resetKeyCallback(void* data, int index, float time, const PRM_Template* tplate);

} // namespace quenlo
