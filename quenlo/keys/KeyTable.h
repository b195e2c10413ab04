// The key table: a node's cache of its active keys.
//
// An active key is key 0, always, and key i (1 <= i <= "numkeys") while its
// "enable#" is on. The table lists, for each active key in key order (key 0
// first, then the enabled keys by instance number), its driver value
// ("keyval#" at the key time) and its instance number, and counts them. The
// values are not sorted and equal values all stay. The evaluation scans the
// table instead of reading every key's value and toggle each time.
#pragma once

#include "UT/UT_Array.h"

#include <cstddef>

class OP_Parameters;

namespace quenlo {

// Table indices of the lower and upper key around a driver value.
struct KeySegment {
    std::size_t lower = 0;
    std::size_t upper = 0;
};

// The upper key is the first entry, in table order, whose value is at or
// above `driver` (the last entry when there is none); the lower key is the
// entry before it, or the same entry at index 0. `values` is not empty.
KeySegment findSegment(const UT_FloatArray& values, float driver);

// A node's key table: its parallel lists of driver values and instance
// numbers and its count of active keys, which the node owns.
struct KeyTable {
    UT_FloatArray& values;
    UT_IntArray& instances;
    int& activeCount;

    // Refills the table from the node's parameters, read at the key time in
    // this order: "keyval#" of key 0, "numkeys", then for each key 1..numkeys
    // its "enable#" and, when that is on, its "keyval#". Afterwards both
    // lists hold activeCount entries (1 + the enabled keys).
    void rebuild(const OP_Parameters& node);
    // Whether the table can be used as it is: it is not empty and its entry
    // count is the count of its last rebuild. Driver values and toggles
    // changed since then take effect only at the next rebuild.
    bool isCurrent() const {
        return values.entries() != 0 && values.entries() == static_cast<std::size_t>(activeCount);
    }
    // The segment of the table around `driver` (see findSegment); the table
    // is not empty.
    KeySegment segmentAround(float driver) const { return findSegment(values, driver); }
};

} // namespace quenlo
