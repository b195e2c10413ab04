// A scene's objects cooked at one time and kept between cooks: each node's
// world matrix with the version at which it last changed, and the node
// list's own version, so that an editor answers an edit with the matrices
// that changed, and the node list only when it changed.
//
// A cook asks the host which nodes may have changed (the host's dirty
// propagation: OP_Network::takeChangedChildren) and cooks only those, and,
// when the time moves, the nodes whose result depends on time and the nodes
// that read them. Either way the matrices are those a cook of every node
// gives, bit for bit.
#pragma once

#include "engine/host_session.hpp"

#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace mhost {

class SceneCook {
public:
    explicit SceneCook(Scene& scene) : scene_(&scene) {}

    // Brings every matrix up to date at time. Returns the version after it,
    // which goes up when any matrix or the node list changed.
    std::uint64_t cook(float time);

    std::uint64_t version() const { return version_; }
    // The version at which the node list (names, types, wiring) last changed.
    std::uint64_t structure() const { return structure_; }
    float time() const { return time_; }

    // The scene's nodes, in order: the node list's indices.
    std::span<OP_Node* const> nodes() const { return nodes_; }
    // The node's world matrix as last cooked (16 doubles, row-major; the
    // identity for a node that is not an object).
    const double* world(std::size_t node) const { return &world_[node * 16]; }
    // The nodes whose last cook left warnings or errors, in order.
    const std::set<std::uint32_t>& nodesWithMessages() const { return messaged_; }

    // The nodes whose world matrix changed after version `since`, in
    // order: every node when the node list changed since.
    std::vector<std::uint32_t> changedSince(std::uint64_t since) const;

private:
    void takeList();

    Scene* scene_;
    const OP_Network* root_ = nullptr; // the network nodes_ came from
    unsigned long listVersion_ = 0;    // its child list's version then
    std::vector<OP_Node*> nodes_;
    std::unordered_map<const OP_Node*, std::uint32_t> index_;
    std::vector<double> world_;
    std::vector<std::uint64_t> changedAt_;
    std::set<std::uint32_t> messaged_;         // the last cook left messages
    std::vector<std::uint32_t> timeDependent_; // nodes whose last cook depended on time
    std::vector<std::uint32_t> lastChanged_;   // the nodes the cook at version_ changed
    std::uint64_t version_ = 0;
    std::uint64_t structure_ = 0;
    float time_ = 0.0f;
    bool cooked_ = false;
};

} // namespace mhost
