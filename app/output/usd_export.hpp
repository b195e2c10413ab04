// `mhost bake --out NAME.usda`: a bake as one USD layer, in USD's text form.
//
// The layer holds:
//  * metadata: a doc naming the scene and the command, defaultPrim, the
//    time codes (below), upAxis "Y" and metersPerUnit 1: the host's y is up
//    (its viewers' ground is the xz plane) and its unit is the metre, as in
//    its glTF;
//  * one Xform prim "bake", the default prim, and under it one Xform prim
//    per baked node, nested as the nodes are wired (input 0 the parent),
//    siblings in the scene's order. Each holds its transform relative to
//    its parent prim (the host's local matrix) as `matrix4d
//    xformOp:transform`, time samples or, for a node whose matrix is the
//    same at every sample, a default value; `uniform token[] xformOpOrder =
//    ["xformOp:transform"]`; and the node's own name in customData
//    (`string mhostName`).
//
// Conventions. USD, like the host, multiplies row vectors by row-major
// matrices (p' = p · M, the translation in the last row) and composes a
// child's matrix before its parent's (world = local · parent's world), so a
// host matrix is written as it is, row by row: no transpose. Numbers are the
// shortest text that reads back as the same double. Time codes are frames
// of the sweep: with R = STEPS / (TO - FROM) samples a second, sample k of
// the sweep's STEPS + 1 (counted across the whole sweep, so that --frames
// shares line up) has time code FROM · R + k, and timeCodesPerSecond and
// framesPerSecond are R: a time code over timeCodesPerSecond is the
// sample's time in seconds (as the host keeps times, a 32-bit float). R and
// FROM · R are rounded to a whole number when they lie within 1e-9 of one.
//
// Prim names. A node's name where it is a USD identifier ([A-Za-z_] then
// [A-Za-z0-9_]), else one made from it: each character an identifier
// cannot hold becomes "_", and "_" goes before a leading digit. Made names
// give way to the names kept and to one another: a made name that a sibling
// already has gets the first free suffix "_2", "_3", ... So every name
// resolves; customData keeps the host's name whatever the prim is called.
#pragma once

#include "engine/bake_result.hpp"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace mhost {

class OutputFile;

// What a bake was made from, for the files that say so.
struct BakeOrigin {
    std::string scene;   // the scene file, or where the scene came from
    std::string command; // the command or call that baked it
};

// The prim name of each node (see above); parents as in BakeResult.
std::vector<std::string> usdPrimNames(const std::vector<std::string>& names,
                                      const std::vector<int>& parents);

// The layer's time codes: sample f of the bake has code first + f.
struct UsdTimeCodes {
    double perSecond = 1;
    double first = 0;
};
// InputError naming path when the bake's times do not increase from sample
// to sample (TO not above FROM).
UsdTimeCodes usdTimeCodes(const BakeResult& bake, const std::string& path);

// Writes a bake's layer while it cooks: a bake by nodes hands on columns as
// they are done, and each tree of prims under "bake" is written once every
// node of it and of the trees before it is done; the rest (all of a bake by
// samples, whose prims each need every sample) at finish. The text goes to
// the file in pieces of about a megabyte: a big bake is never held whole as
// text. The bytes depend on the bake alone, not on the order in which its
// parts were done.
class UsdBakeWriter {
public:
    // Opens the output file: InputError for a target the output rules
    // refuse, RunError when it cannot be made.
    UsdBakeWriter(const std::string& path, BakeOrigin origin);
    ~UsdBakeWriter();
    UsdBakeWriter(const UsdBakeWriter&) = delete;
    UsdBakeWriter& operator=(const UsdBakeWriter&) = delete;

    // Columns first..end - 1 hold every sample.
    void columnsReady(const BakeResult& bake, std::size_t first, std::size_t end);
    // Writes the rest and commits the file.
    void finish(const BakeResult& bake);

private:
    void start(const BakeResult& bake);
    void writeTree(const BakeResult& bake, std::size_t top);
    void writePrimHead(const BakeResult& bake, std::size_t node, std::size_t depth);
    void writeReadyTrees(const BakeResult& bake);
    void flush(bool all);

    std::unique_ptr<OutputFile> file_;
    std::string path_;
    BakeOrigin origin_;
    bool started_ = false;
    UsdTimeCodes codes_;
    std::vector<std::string> primNames_;
    std::vector<std::vector<std::size_t>> children_; // of each node, in column order
    std::vector<std::size_t> tops_;                  // nodes without a parent, in order
    std::vector<std::size_t> treeOf_;                // index in tops_ of each node's tree
    std::vector<std::size_t> missing_;               // nodes of each tree not yet done
    std::vector<bool> done_;                         // columns handed on
    std::size_t treesWritten_ = 0;
    std::string text_; // written to file_ in pieces
};

} // namespace mhost
