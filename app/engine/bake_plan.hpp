// How a bake is shared out (engine/bake.hpp): which nodes it cooks, in
// which blocks, at which samples, by how many workers, and, for a bake by
// nodes, in which parts of the scene file.
#pragma once

#include "engine/bake_result.hpp"
#include "engine/scene_io.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace mhost {

inline constexpr int kMaxBakeWorkers = 256;

// Workers when none are requested: the cores this process may run on.
int defaultBakeWorkers();

// The samples of the request in a result (its times, at the times the cooks
// see: seconds as a float; its sweep and first sample). InputError for a
// sample range outside the sweep or a worker count below 0.
void setSamples(BakeResult& result, const BakeRequest& request);

// The workers to use: those asked for (one per core for 0), at least 1 and
// at most `most`.
long long workerCount(const BakeRequest& request, long long most);

// The nodes of the bake: the chosen ones and every node they read, in the
// scene's order. InputError for an unknown node or one that is not an
// object.
std::vector<OBJ_Node*> bakedNodes(Scene& scene, const std::vector<std::string>& names);

// The nodes of a bake in blocks to cook together: whole groups of nodes
// wired to each other (a node's cook cooks its parent), merged in the
// scene's order up to kBlockNodes. A block is cooked at several samples in
// a row while its nodes are still in the processor's cache: a cook touches
// a few kilobytes of node, and a scene of many nodes, cooked a sample at a
// time, would wait on memory for most of them.
struct CookBlock {
    std::vector<OBJ_Node*> nodes;
    std::vector<std::size_t> columns; // their places in the bake
};
inline constexpr std::size_t kBlockNodes = 32;
std::vector<CookBlock> cookBlocks(const std::vector<OBJ_Node*>& nodes,
                                  const std::vector<std::size_t>& columns);

// How a scene file's nodes are shared out: in parts of whole groups
// (nodes joined by wires), which the workers take one at a time, each
// loading and cooking only the nodes of its part. Parts shrink along the
// file, so that the last ones, taken as the workers finish, are small and
// the workers end close together whatever their speeds.
struct NodePlan {
    std::vector<std::size_t> baked;              // the file's index of each baked node
    std::vector<std::vector<std::size_t>> parts; // the file's indexes of each part's nodes
    std::vector<std::size_t> parent; // the file's index of each node's input 0, or SIZE_MAX
};

// A part is not made smaller than this: loading and cooking it at 49
// samples takes some tens of milliseconds.
inline constexpr std::size_t kLeastPartNodes = 256;

// The size of the next part when `left` nodes are not in a part yet: each
// part 1 / (2 * workers) of what is left, at least kLeastPartNodes.
std::size_t nextPartNodes(std::size_t left, long long workers);

// How a scene in memory is shared out by groups: consecutive cook blocks
// (whole groups, in the scene's order), which the workers take in turn, so
// that each node is cooked, and written, by one process only. Parts shrink
// along the blocks as a bake by nodes' parts do.
struct BlockPart {
    std::size_t first = 0; // blocks [first, end)
    std::size_t end = 0;
    std::size_t nodes = 0;
};

// Nothing when one block would hold a worker up longer than an even share
// of the whole.
std::optional<std::vector<BlockPart>> planByGroups(const std::vector<CookBlock>& blocks,
                                                   long long workers);

// Nothing when one group would hold a worker up longer than an even share
// of the whole, or when the outline holds a fault (a name twice, an unknown
// input) that the load reports.
std::optional<NodePlan> planByNodes(const SceneOutline& outline,
                                    const std::vector<std::string>& chosen, long long workers);

} // namespace mhost
