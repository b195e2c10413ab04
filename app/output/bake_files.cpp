#include "output/bake_files.hpp"

#include "output/gltf_export.hpp"
#include "support/errors.hpp"
#include "support/output_file.hpp"
#include "support/text.hpp"
#include "json/json.hpp"

#include <algorithm>
#include <cstring>

namespace mhost {

namespace {

// NAME.json: the nodes and times of NAME.npy.
std::string npyCompanion(const BakeResult& bake) {
    std::string text;
    JsonWriter w(text);
    w.beginObject();
    w.key("nodes");
    w.beginArray(false);
    for (const std::string& name : bake.names)
        w.string(name);
    w.endArray();
    w.key("times");
    w.beginArray(true);
    for (const double t : bake.times)
        w.number(t);
    w.endArray();
    w.endObject();
    return text + '\n';
}

std::vector<std::string> writeGltfBake(const BakeResult& bake, const std::string& path) {
    for (std::size_t f = 1; f < bake.frames(); ++f)
        if (!(static_cast<float>(bake.times[f]) > static_cast<float>(bake.times[f - 1])))
            throw InputError(quote(path) +
                             ": a glTF animation needs times that increase from sample to "
                             "sample (FROM below TO)");
    std::vector<RigTrack> tracks(bake.names.size());
    for (std::size_t n = 0; n < tracks.size(); ++n) {
        RigTrack& track = tracks[n];
        track.name = bake.names[n];
        track.type = bake.types[n];
        track.parent = bake.parents[n];
        track.local.resize(bake.frames());
        for (std::size_t f = 0; f < bake.frames(); ++f)
            std::memcpy(track.local[f].data(), bake.localAt(f, n), sizeof(Matrix16));
    }
    return writeGltfTracks(tracks, bake.times, {"bake", "bake"}, true, path);
}

} // namespace

std::string npyHeader(const std::vector<std::size_t>& shape) {
    // The format is small and fixed (magic, version 1.0, a Python dict
    // literal padded to 64 bytes); no Debian package writes it from C++.
    std::string dict = "{'descr': '<f8', 'fortran_order': False, 'shape': (";
    for (const std::size_t n : shape)
        dict += std::to_string(n) + ", ";
    if (shape.size() > 1)
        dict.resize(dict.size() - 1);
    dict += "), }";
    const std::size_t unpadded = 10 + dict.size() + 1;
    dict.append((64 - unpadded % 64) % 64, ' ');
    dict += '\n';
    std::string header("\x93NUMPY\x01\x00", 8);
    header += static_cast<char>(dict.size() & 0xff);
    header += static_cast<char>(dict.size() >> 8);
    return header + dict;
}

std::vector<std::string> bakeFiles(const std::string& path) {
    if (endsWithNoCase(path, ".npy"))
        return {path, path.substr(0, path.size() - 4) + ".json"};
    if (endsWithNoCase(path, ".glb") || endsWithNoCase(path, ".gltf") ||
        endsWithNoCase(path, ".usda"))
        return {path};
    throw InputError(quote(path) + ": a bake's file name must end in .npy, .glb, .gltf or .usda");
}

BakeWriter::BakeWriter(std::string path, BakeOrigin origin)
    : path_(std::move(path)), npy_(bakeFiles(path_).size() == 2) {
    if (endsWithNoCase(path_, ".usda"))
        usd_ = std::make_unique<UsdBakeWriter>(path_, std::move(origin));
}

BakeWriter::~BakeWriter() = default;

void BakeWriter::open(const BakeResult& bake) {
    if (array_)
        return;
    array_ = std::make_unique<OutputFile>(path_);
    const std::string header = npyHeader({bake.frames(), bake.names.size(), 4, 4});
    array_->refuseBeyondFreeSpace(header.size() +
                                  bake.frames() * bake.names.size() * 16 * sizeof(double));
    array_->write(header);
    headerBytes_ = header.size();
}

void BakeWriter::samplesReady(const BakeResult& bake, std::size_t ready) {
    if (!npy_)
        return;
    open(bake);
    // Straight from the bake's memory, at least a few megabytes at a time.
    const std::size_t sampleBytes = bake.names.size() * 16 * sizeof(double);
    constexpr std::size_t kLeast = std::size_t(8) << 20;
    if (ready <= written_ || (ready < bake.frames() && (ready - written_) * sampleBytes < kLeast))
        return;
    const auto* bytes = reinterpret_cast<const char*>(bake.world->data());
    array_->write(
        std::string_view(bytes + written_ * sampleBytes, (ready - written_) * sampleBytes));
    array_->startWriteback();
    written_ = ready;
}

void BakeWriter::feedFrom(BakeRequest& request) {
    request.keepLocal = !npy_;
    request.samplesReady = [this](const BakeResult& bake, std::size_t ready) {
        samplesReady(bake, ready);
    };
    request.columnsReady = [this](const BakeResult& bake, std::size_t first, std::size_t end) {
        columnsReady(bake, first, end);
    };
    request.sink = this;
}

bool BakeWriter::begin(const BakeResult& bake) {
    if (!npy_)
        return false;
    open(bake);
    sink_ = array_->shareWrites();
    width_ = bake.names.size();
    return sink_;
}

void BakeWriter::put(std::size_t sample, std::size_t first, std::size_t count,
                     const double* world) {
    const std::size_t matrixBytes = 16 * sizeof(double);
    array_->writeAtShared(
        headerBytes_ + (sample * width_ + first) * matrixBytes,
        std::string_view(reinterpret_cast<const char*>(world), count * matrixBytes));
}

void BakeWriter::flush() {
    array_->startWriteback();
}

void BakeWriter::columnsReady(const BakeResult& bake, std::size_t first, std::size_t end) {
    if (usd_)
        usd_->columnsReady(bake, first, end);
    if (!npy_)
        return;
    open(bake);
    // Each sample's run of columns is one contiguous range of the file.
    const std::size_t matrixBytes = 16 * sizeof(double);
    const auto* bytes = reinterpret_cast<const char*>(bake.world->data());
    const std::size_t runBytes = (end - first) * matrixBytes;
    for (std::size_t f = 0; f < bake.frames(); ++f) {
        const std::size_t at = (f * bake.names.size() + first) * matrixBytes;
        array_->writeAt(headerBytes_ + at, std::string_view(bytes + at, runBytes));
    }
    array_->startWriteback();
    columnsWritten_ += end - first;
}

std::vector<std::string> BakeWriter::finish(const BakeResult& bake) {
    if (usd_) {
        usd_->finish(bake);
        return {};
    }
    if (!npy_)
        return writeGltfBake(bake, path_);
    // A sink's workers wrote every matrix; a bake by nodes hands every
    // column on; any other, its samples.
    if (!sink_ && columnsWritten_ == 0)
        samplesReady(bake, bake.frames());
    OutputFile companion(bakeFiles(path_)[1]);
    companion.write(npyCompanion(bake));
    array_->commit();
    companion.commit();
    return {};
}

} // namespace mhost
