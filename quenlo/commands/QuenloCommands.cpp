// The key buttons: which key a press names, and what each press does.
#include "commands/QuenloCommands.h"

#include "QuenloTokens.h"
#include "node/OBJ_Quenlo.h"

#include <charconv>
#include <cstring>
#include <system_error>

namespace tok = quenlo::token;

namespace {

constexpr char dummyMissing[] = "Key dummy is not connected";

OBJ_Quenlo* quenloNode(void* data) {
    return dynamic_cast<OBJ_Quenlo*>(static_cast<OP_Node*>(data));
}

// The key number of a pressed button, from the token of its template.
std::optional<int> buttonKey(const PRM_Template* tplate, const char* prefix) {
    return quenlo::keyNumberFromToken(tplate ? tplate->getToken() : nullptr, std::strlen(prefix));
}

} // namespace

namespace quenlo {

std::optional<int> keyNumberFromToken(const char* token, std::size_t prefixLength) {
    if (token == nullptr || std::strlen(token) <= prefixLength)
        return std::nullopt;
    const char* first = token + prefixLength;
    const char* last = first + std::strlen(first);
    if (*first < '0' || *first > '9')
        return std::nullopt; // from_chars would accept a minus sign
    int key = 0;
    const auto [end, status] = std::from_chars(first, last, key, 10);
    if (status != std::errc() || end != last)
        return std::nullopt;
    return key;
}

namespace {

// What a Get key or Put key press acts on: the node, the key and the dummy.
struct DummyPress {
    OBJ_Quenlo* node;
    int key;
    OP_Node* dummy;
};

// The press's node, key and dummy, or nothing when the press acts on no key
// or no dummy is wired (the user is then warned).
std::optional<DummyPress> dummyPress(void* data, const PRM_Template* tplate, const char* prefix) {
    OBJ_Quenlo* node = quenloNode(data);
    const std::optional<int> key = buttonKey(tplate, prefix);
    if (node == nullptr || !key)
        return std::nullopt;
    OP_Node* dummy = node->getInput(1, false);
    if (dummy == nullptr) {
        node->addWarning(OBJ_WARNING_GENERIC, dummyMissing);
        return std::nullopt;
    }
    return DummyPress{node, *key, dummy};
}

} // namespace

int getKeyCallback(void* data, int, float time, const PRM_Template* tplate) {
    if (const auto press = dummyPress(data, tplate, tok::getKeyPrefix)) {
        const QuenloKeyTransform captured = press->node->readDummyTransform(press->dummy, time);
        press->node->storeKey(press->key, time, captured);
        press->node->rebuildKeyTable();
    }
    return 1;
}

int putKeyCallback(void* data, int, float time, const PRM_Template* tplate) {
    if (const auto press = dummyPress(data, tplate, tok::putKeyPrefix))
        press->node->pushKeyToDummy(press->key, time, press->dummy);
    return 1;
}

int resetKeyCallback(void* data, int, float time, const PRM_Template* tplate) {
    OBJ_Quenlo* node = quenloNode(data);
    const std::optional<int> key = buttonKey(tplate, tok::resetPrefix);
    if (node == nullptr || !key)
        return 1;
    node->resetKey(*key, time);
    node->rebuildKeyTable();
    return 1;
}

} // namespace quenlo
