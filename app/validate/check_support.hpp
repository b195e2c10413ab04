// What the checks of `mhost validate` share: messages, a scene to make
// nodes in, cooks judged, and random edits that a failure can replay and
// name.
#pragma once

#include "validate/check.hpp"

#include <OBJ/OBJ_Node.h>
#include <OP/OP_Operator.h>
#include <PRM/PRM_Template.h>

#include <random>
#include <string>
#include <vector>

namespace mhost::validation {

// Rounds of each randomized check, per type.
inline constexpr int kRounds = 20;
// Instance counts the randomized checks use (the hostile check goes to the
// host's maximum).
inline constexpr int kMaxRandomInstances = 4;

// "type 'NAME'", for messages.
std::string typeName(const OP_Operator& type);
// Fails the check with message (CheckFailed).
[[noreturn]] void fail(const std::string& message);

// A scene for one check, with helpers that make nodes of a type with every
// input it needs wired to a "null" of the host's.
class Bench {
public:
    explicit Bench(Host& host) : scene_(host) {}

    Scene& scene() { return scene_; }

    OP_Node& make(const OP_Operator& type) {
        OP_Node* node = scene_.root().createNode(type.getName(), nullptr);
        if (node == nullptr)
            fail(typeName(type) + ": its constructor made no node");
        for (unsigned i = 0; i < type.getMinInputs(); ++i)
            node->setInput(i, &makeNull());
        return *node;
    }

    OP_Node& makeNull() {
        OP_Node* null = scene_.root().createNode("null", nullptr);
        if (null == nullptr)
            throw std::runtime_error("the host's null type made no node");
        return *null;
    }

    void destroy(OP_Node& node) { scene_.root().destroyNode(&node); }

private:
    Scene scene_;
};

// The node as an object; fails the check when the type's nodes are not.
OBJ_Node& object(const OP_Operator& type, OP_Node& node);
// What went wrong with a cook, or "" when nothing did: an error above a
// warning, or a matrix that is not finite.
std::string cookProblem(OBJ_Node& node, float time);

// One edit of a node, kept so that a failure can be replayed and named.
struct Edit {
    std::string token;
    int component;
    double value;
    bool count; // a multi-parameter's instance count
};

// An edit, or the first dozen of a list of them, as messages name them.
std::string describe(const Edit& e, const OP_Node& node);
std::string describe(const std::vector<Edit>& edits, const OP_Node& node);
// Makes the edits on node, as a scene file's values are set.
void applyEdits(OP_Node& node, const Edit& e);
void applyEdits(OP_Node& node, const std::vector<Edit>& edits);
// A value in the parameter's range, or a few units either side of 0 when
// it has none; whole menu indices, toggles 0 or 1.
double randomValue(const PRM_Template& t, std::mt19937_64& random);
// Random instance counts for every multi-parameter (lists that new
// instances bring included), then random values for every number component.
std::vector<Edit> randomize(OP_Node& node, std::mt19937_64& random);
// After a randomized cook failed: the single edit that fails on its own,
// named, or all of them.
std::string culprit(Bench& bench, const OP_Operator& type, const std::vector<Edit>& edits,
                    float time, const OP_Node& failed);
// A cook time between -10 and 10 seconds.
float randomTime(std::mt19937_64& random);

} // namespace mhost::validation
