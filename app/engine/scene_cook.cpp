#include "engine/scene_cook.hpp"

#include "engine/evaluation.hpp"

#include <OBJ/OBJ_Node.h>

#include <algorithm>
#include <cstring>

namespace mhost {

void SceneCook::takeList() {
    const OP_Network& root = scene_->root();
    root_ = &root;
    listVersion_ = root.getChildListVersion();
    const auto count = static_cast<std::size_t>(root.getNchildren());
    nodes_.resize(count);
    index_.clear();
    index_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        nodes_[i] = root.getChild(static_cast<int>(i));
        index_.emplace(nodes_[i], static_cast<std::uint32_t>(i));
    }
    static constexpr double kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    world_.resize(count * 16);
    for (std::size_t i = 0; i < count; ++i)
        std::memcpy(&world_[i * 16], kIdentity, sizeof kIdentity);
    changedAt_.assign(count, 0);
    messaged_.clear();
    timeDependent_.clear();
}

std::uint64_t SceneCook::cook(float time) {
    OP_Network& root = scene_->root();
    // What changed since the last cook, as the host noted it; taken every
    // time, so that the next cook starts from here.
    std::vector<OP_Node*> toCook = root.takeChangedChildren();
    const bool listChanged =
        !cooked_ || &root != root_ || root.getChildListVersion() != listVersion_;
    if (listChanged) {
        takeList();
        toCook = nodes_;
    } else {
        // At another time, what depends on time, and what reads it, too.
        if (time != time_)
            for (const std::uint32_t i : timeDependent_)
                toCook.push_back(nodes_[i]);
        root.addReaders(toCook);
    }
    // In the scene's order: a parent before the nodes under it, mostly,
    // and memory read in the order it was laid out.
    std::vector<std::uint32_t> at;
    at.reserve(toCook.size());
    for (const OP_Node* node : toCook)
        at.push_back(index_.at(node));
    std::sort(at.begin(), at.end());
    std::vector<OBJ_Node*> objects;
    std::vector<std::uint32_t> objectAt;
    objects.reserve(at.size());
    for (const std::uint32_t i : at)
        if (OBJ_Node* object = nodes_[i]->castToOBJNode()) {
            objects.push_back(object);
            objectAt.push_back(i);
        }
    cookAll(objects, time);

    std::vector<std::uint32_t> changed;
    bool dependenceChanged = false;
    for (std::size_t k = 0; k < objects.size(); ++k) {
        const std::uint32_t i = objectAt[k];
        const OBJ_Node& object = *objects[k];
        if (object.getErrors().empty())
            messaged_.erase(i);
        else
            messaged_.insert(i);
        const bool dependent = object.flags().timeDependent != 0;
        if (dependent != std::binary_search(timeDependent_.begin(), timeDependent_.end(), i))
            dependenceChanged = true;
        const double* cooked = object.getWorldTransform().data();
        if (!listChanged && std::memcmp(&world_[i * 16], cooked, 16 * sizeof(double)) == 0)
            continue;
        std::memcpy(&world_[i * 16], cooked, 16 * sizeof(double));
        changed.push_back(i);
    }
    if (dependenceChanged || listChanged) {
        timeDependent_.clear();
        for (std::size_t i = 0; i < nodes_.size(); ++i)
            if (const OBJ_Node* object = nodes_[i]->castToOBJNode();
                object && object->flags().timeDependent)
                timeDependent_.push_back(static_cast<std::uint32_t>(i));
    }
    time_ = time;
    cooked_ = true;
    if (listChanged || !changed.empty()) {
        ++version_;
        for (const std::uint32_t i : changed)
            changedAt_[i] = version_;
        lastChanged_ = std::move(changed);
        if (listChanged)
            structure_ = version_;
    }
    return version_;
}

std::vector<std::uint32_t> SceneCook::changedSince(std::uint64_t since) const {
    std::vector<std::uint32_t> out;
    if (since >= version_)
        return out;
    if (since + 1 == version_ && since >= structure_)
        return lastChanged_;
    for (std::size_t i = 0; i < nodes_.size(); ++i)
        if (since < structure_ || changedAt_[i] > since)
            out.push_back(static_cast<std::uint32_t>(i));
    return out;
}

} // namespace mhost
