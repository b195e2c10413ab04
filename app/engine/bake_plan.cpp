#include "engine/bake_plan.hpp"

#include "support/errors.hpp"
#include "support/text.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_map>

#include <sched.h>
#include <unistd.h>

namespace mhost {

namespace {

// Disjoint sets (union-find): nodes joined by wires.
class Groups {
public:
    explicit Groups(std::size_t count) : parent_(count) {
        std::iota(parent_.begin(), parent_.end(), std::size_t(0));
    }
    // The group's representative.
    std::size_t find(std::size_t i) {
        while (parent_[i] != i)
            i = parent_[i] = parent_[parent_[i]];
        return i;
    }
    void join(std::size_t a, std::size_t b) { parent_[find(a)] = find(b); }

private:
    std::vector<std::size_t> parent_;
};

} // namespace

int defaultBakeWorkers() {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof(set), &set) == 0)
        return std::max(1, CPU_COUNT(&set));
    return static_cast<int>(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN)));
}

void setSamples(BakeResult& result, const BakeRequest& request) {
    if (request.workers < 0)
        throw InputError("a bake needs 1 or more workers (0 for one per core), not " +
                         std::to_string(request.workers));
    const std::vector<double> all = request.times.values();
    const long long last = static_cast<long long>(all.size()) - 1;
    const auto [first, end] = request.frames.value_or(std::pair{0LL, last});
    if (first < 0 || end > last || first > end)
        throw InputError("samples " + std::to_string(first) + ":" + std::to_string(end) +
                         " are not within the sweep's samples 0:" + std::to_string(last));
    result.times.clear();
    for (long long f = first; f <= end; ++f)
        result.times.push_back(
            shortestDouble(secondsFrom(all[static_cast<std::size_t>(f)], "time")));
    result.sweep = request.times;
    result.firstSample = static_cast<std::size_t>(first);
}

long long workerCount(const BakeRequest& request, long long most) {
    const long long asked = request.workers == 0 ? defaultBakeWorkers() : request.workers;
    return std::clamp<long long>(asked, 1, std::min<long long>(most, kMaxBakeWorkers));
}

std::vector<OBJ_Node*> bakedNodes(Scene& scene, const std::vector<std::string>& names) {
    OP_Network& root = scene.root();
    std::vector<OBJ_Node*> out;
    if (names.empty()) {
        for (int i = 0; i < root.getNchildren(); ++i)
            out.push_back(&asObject(*root.getChild(i)));
        return out;
    }
    std::unordered_map<const OP_Node*, bool> wanted;
    std::vector<OP_Node*> pending;
    for (const std::string& name : names)
        pending.push_back(&scene.node(name));
    while (!pending.empty()) {
        OP_Node* node = pending.back();
        pending.pop_back();
        if (!wanted.emplace(node, true).second)
            continue;
        for (unsigned i = 0; i < node->nInputs(); ++i)
            if (OP_Node* in = node->getInput(i))
                pending.push_back(in);
    }
    for (int i = 0; i < root.getNchildren(); ++i)
        if (wanted.count(root.getChild(i)))
            out.push_back(&asObject(*root.getChild(i)));
    return out;
}

std::vector<CookBlock> cookBlocks(const std::vector<OBJ_Node*>& nodes,
                                  const std::vector<std::size_t>& columns) {
    std::unordered_map<const OP_Node*, std::size_t> index;
    for (std::size_t i = 0; i < nodes.size(); ++i)
        index.emplace(nodes[i], i);
    Groups groups(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i)
        for (unsigned k = 0; k < nodes[i]->nInputs(); ++k)
            if (const auto in = index.find(nodes[i]->getInput(k)); in != index.end())
                groups.join(i, in->second);
    // Each group's nodes in the scene's order, groups by their first node.
    std::vector<std::vector<std::size_t>> members(nodes.size());
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const std::size_t g = groups.find(i);
        if (members[g].empty())
            order.push_back(g);
        members[g].push_back(i);
    }
    std::vector<CookBlock> blocks;
    for (const std::size_t g : order) {
        if (blocks.empty() || blocks.back().nodes.size() >= kBlockNodes)
            blocks.emplace_back();
        for (const std::size_t i : members[g]) {
            blocks.back().nodes.push_back(nodes[i]);
            blocks.back().columns.push_back(columns[i]);
        }
    }
    return blocks;
}

std::size_t nextPartNodes(std::size_t left, long long workers) {
    return std::max(kLeastPartNodes, left / (2 * static_cast<std::size_t>(workers)));
}

std::optional<std::vector<BlockPart>> planByGroups(const std::vector<CookBlock>& blocks,
                                                   long long workers) {
    std::size_t count = 0, largest = 0;
    for (const CookBlock& block : blocks) {
        count += block.nodes.size();
        largest = std::max(largest, block.nodes.size());
    }
    if (count == 0 || largest > count / static_cast<std::size_t>(workers))
        return std::nullopt;
    std::vector<BlockPart> parts;
    std::size_t assigned = 0, target = 0;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        if (parts.empty() || parts.back().nodes >= target) {
            target = nextPartNodes(count - assigned, workers);
            parts.push_back({b, b, 0});
        }
        parts.back().end = b + 1;
        parts.back().nodes += blocks[b].nodes.size();
        assigned += blocks[b].nodes.size();
    }
    return parts;
}

std::optional<NodePlan> planByNodes(const SceneOutline& outline,
                                    const std::vector<std::string>& chosen, long long workers) {
    const std::size_t count = outline.nodes.size();
    std::unordered_map<std::string_view, std::size_t> index;
    index.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        if (!index.emplace(outline.nodes[i].name, i).second)
            return std::nullopt;
    NodePlan plan;
    plan.parent.assign(count, SIZE_MAX);
    // Each node's inputs, node by node: inputs[inputsFrom[i]..inputsFrom[i + 1]).
    std::vector<std::size_t> inputs, inputsFrom{0};
    inputsFrom.reserve(count + 1);
    for (std::size_t i = 0; i < count; ++i) {
        const std::vector<std::string>& names = outline.nodes[i].inputs;
        for (std::size_t k = 0; k < names.size(); ++k) {
            if (names[k].empty())
                continue;
            const auto found = index.find(names[k]);
            if (found == index.end())
                return std::nullopt;
            inputs.push_back(found->second);
            if (k == 0)
                plan.parent[i] = found->second;
        }
        inputsFrom.push_back(inputs.size());
    }
    // The nodes baked: the chosen ones and those they read.
    std::vector<bool> wanted(count, chosen.empty());
    std::vector<std::size_t> pending;
    for (const std::string& name : chosen) {
        const auto found = index.find(name);
        if (found == index.end())
            return std::nullopt;
        pending.push_back(found->second);
    }
    while (!pending.empty()) {
        const std::size_t i = pending.back();
        pending.pop_back();
        if (wanted[i])
            continue;
        wanted[i] = true;
        for (std::size_t k = inputsFrom[i]; k < inputsFrom[i + 1]; ++k)
            pending.push_back(inputs[k]);
    }
    Groups groups(count);
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t k = inputsFrom[i]; k < inputsFrom[i + 1]; ++k)
            groups.join(i, inputs[k]);
    // Every node is loaded by some part, so that a fault anywhere in the
    // scene is found as a plain load finds it; only the baked ones cook.
    std::vector<std::size_t> size(count, 0);
    for (std::size_t i = 0; i < count; ++i) {
        ++size[groups.find(i)];
        if (wanted[i])
            plan.baked.push_back(i);
    }
    if (plan.baked.empty() ||
        *std::max_element(size.begin(), size.end()) > count / static_cast<std::size_t>(workers))
        return std::nullopt;
    // Whole groups in file order, parts shrinking along the file.
    std::vector<std::size_t> partOfGroup(count, SIZE_MAX);
    std::size_t assigned = 0, inPart = 0, target = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t g = groups.find(i);
        if (partOfGroup[g] == SIZE_MAX) {
            if (plan.parts.empty() || inPart >= target) {
                plan.parts.emplace_back();
                target = nextPartNodes(count - assigned, workers);
                inPart = 0;
            }
            partOfGroup[g] = plan.parts.size() - 1;
            assigned += size[g];
            inPart += size[g];
        }
        plan.parts[partOfGroup[g]].push_back(i);
    }
    return plan;
}

} // namespace mhost
