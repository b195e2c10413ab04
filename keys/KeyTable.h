// Change callback of a key's driver value "keyval#".
#pragma once

class PRM_Template;

namespace quenlo {

// Rebuilds the key table of the node whose driver value changed; returns 1.
int keyValueCallback(void* data, int index, float time, const PRM_Template* tplate);

} // namespace quenlo
