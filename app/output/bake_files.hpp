// What `mhost bake --out FILE` writes, by the file's extension:
//
//   NAME.npy   the world matrices as float64, shape (samples, nodes, 4, 4),
//              row vectors (the host's convention), C order; beside it
//   NAME.json  {"nodes": [the node names, in the array's order],
//               "times": [the seconds of each sample]}
//   NAME.glb, NAME.gltf
//              one glTF 2.0 scene holding the nodes as wired (input 0 as
//              parent, no root of its own) and one animation with every
//              node's local translation, rotation and scale at each sample
//              (the conventions of gltf_export.hpp)
//   NAME.usda  one USD layer holding the nodes as wired, each with its
//              local matrix at each sample (usd_export.hpp)
//
// Each file is written whole or not at all (the output rules of
// file_io.hpp).
#pragma once

#include "engine/bake.hpp"
#include "output/usd_export.hpp"
#include "support/output_file.hpp"

#include <memory>
#include <string>
#include <vector>

namespace mhost {

// The files a bake to path writes: path, and for NAME.npy its side file
// NAME.json. The extension picks the format in either case (".NPY" is
// .npy). InputError for a path of another kind.
std::vector<std::string> bakeFiles(const std::string& path);

// Writes the files of a bake to path, a .npy file's samples or columns and
// a USD layer's prims while the bake cooks (BakeRequest::samplesReady,
// columnsReady), so that little is left to write when it ends; a .npy file
// is also a sink that each bake worker writes its own matrices to
// (BakeRequest::sink). InputError for a path of another kind; origin is
// what the USD layer's doc names.
class BakeWriter : public BakeSink {
public:
    explicit BakeWriter(std::string path, BakeOrigin origin = {});
    ~BakeWriter();
    BakeWriter(const BakeWriter&) = delete;
    BakeWriter& operator=(const BakeWriter&) = delete;

    // The sink: a .npy file written in place (not a standard stream).
    bool begin(const BakeResult& bake) override;
    void put(std::size_t sample, std::size_t first, std::size_t count,
             const double* world) override;
    void flush() override;

    // Points request's keepLocal (glTF and USD hold local matrices, .npy
    // does not), samplesReady, columnsReady and sink at this writer.
    void feedFrom(BakeRequest& request);
    void samplesReady(const BakeResult& bake, std::size_t ready);
    void columnsReady(const BakeResult& bake, std::size_t first, std::size_t end);
    // Writes the rest and commits every file. InputError for a glTF of
    // times that do not increase. Returns warnings (shear that glTF cannot
    // carry).
    std::vector<std::string> finish(const BakeResult& bake);

private:
    void open(const BakeResult& bake);

    std::string path_;
    bool npy_;
    std::unique_ptr<UsdBakeWriter> usd_;
    std::unique_ptr<OutputFile> array_;
    std::size_t written_ = 0;        // leading samples in array_
    std::size_t columnsWritten_ = 0; // columns in array_, at every sample
    std::size_t headerBytes_ = 0;
    std::size_t width_ = 0; // the bake's columns, when a sink
    bool sink_ = false;
};

// The .npy header of a float64 array of this shape, C order.
std::string npyHeader(const std::vector<std::size_t>& shape);

} // namespace mhost
