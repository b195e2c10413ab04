#include "output/gltf_export.hpp"

#include "support/errors.hpp"
#include "support/output_file.hpp"
#include "support/text.hpp"
#include "json/json.hpp"

#include <Eigen/Geometry>
#include <Eigen/SVD>
#include <tiny_gltf.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>

#ifndef MHOST_VERSION
#define MHOST_VERSION "unknown"
#endif

namespace mhost {
namespace {

// glTF's N of a host matrix M: N = Mᵀ.
Eigen::Matrix4d columnVectorMatrix(const Matrix16& m) {
    Eigen::Matrix4d n;
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col)
            n(col, row) = m[static_cast<std::size_t>(row * 4 + col)];
    return n;
}

// Floats appended to a byte buffer, with the accessor that reads them.
class BufferWriter {
public:
    explicit BufferWriter(tinygltf::Model& model) : model_(model) { model_.buffers.emplace_back(); }

    int add(const std::vector<float>& values, int type, int count, bool withBounds) {
        auto& bytes = model_.buffers[0].data;
        while (bytes.size() % 4 != 0)
            bytes.push_back(0);
        tinygltf::BufferView view;
        view.buffer = 0;
        view.byteOffset = bytes.size();
        view.byteLength = values.size() * sizeof(float);
        const auto* raw = reinterpret_cast<const unsigned char*>(values.data());
        bytes.insert(bytes.end(), raw, raw + view.byteLength);
        model_.bufferViews.push_back(view);

        tinygltf::Accessor accessor;
        accessor.bufferView = static_cast<int>(model_.bufferViews.size()) - 1;
        accessor.componentType = TINYGLTF_COMPONENT_TYPE_FLOAT;
        accessor.count = static_cast<std::size_t>(count);
        accessor.type = type;
        if (withBounds) {
            // Animation inputs must state their range.
            const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
            accessor.minValues = {*lo};
            accessor.maxValues = {*hi};
        }
        model_.accessors.push_back(accessor);
        return static_cast<int>(model_.accessors.size()) - 1;
    }

private:
    tinygltf::Model& model_;
};

} // namespace

Trs toTrs(const Matrix16& hostMatrix) {
    const Eigen::Matrix4d n = columnVectorMatrix(hostMatrix);
    const Eigen::Matrix3d a = n.topLeftCorner<3, 3>();
    Trs trs;
    for (int i = 0; i < 3; ++i)
        trs.translation[static_cast<std::size_t>(i)] = n(i, 3);

    // A = R · S: the columns of A are the rotated axes, scaled.
    Eigen::Vector3d scale(a.col(0).norm(), a.col(1).norm(), a.col(2).norm());
    if (a.determinant() < 0)
        scale.x() = -scale.x(); // a mirror: negative x scale, proper rotation
    Eigen::Matrix3d r;
    const double tolerance = 1e-9 * std::max(1.0, scale.cwiseAbs().maxCoeff());
    if (scale.cwiseAbs().minCoeff() > tolerance) {
        r = a * scale.cwiseInverse().asDiagonal();
        trs.approximate = !(r.transpose() * r).isApprox(Eigen::Matrix3d::Identity(), 1e-6);
    } else {
        trs.approximate = true;
    }
    if (trs.approximate) {
        // Shear or a vanished axis: the nearest rotation (polar decomposition
        // through the SVD), then the scale that fits best along its axes.
        const Eigen::JacobiSVD<Eigen::Matrix3d> svd(a, Eigen::ComputeFullU | Eigen::ComputeFullV);
        Eigen::Matrix3d u = svd.matrixU();
        if ((u * svd.matrixV().transpose()).determinant() < 0)
            u.col(2) = -u.col(2);
        r = u * svd.matrixV().transpose();
        scale = (r.transpose() * a).diagonal();
    }
    Eigen::Quaterniond q(r);
    q.normalize();
    trs.rotation = {q.x(), q.y(), q.z(), q.w()};
    trs.scale = {scale.x(), scale.y(), scale.z()};
    return trs;
}

bool isBinaryGltf(const std::string& path, const std::string& option) {
    if (endsWithNoCase(path, ".glb"))
        return true;
    if (endsWithNoCase(path, ".gltf") || streamDescriptor(path) >= 0)
        return false;
    throw InputError(option + " " + quote(path) + ": the file name must end in .gltf or .glb");
}

std::vector<std::string> writeGltf(const EvalReport& report, const RigCapture& capture,
                                   const std::string& path) {
    const GltfNames names{
        report.node + (report.sweep == EvalReport::Sweep::Time ? " over time" : " by driver"),
        report.node};
    return writeGltfTracks(capture.tracks, capture.times, names, false, path);
}

std::vector<std::string> writeGltfTracks(const std::vector<RigTrack>& tracks,
                                         const std::vector<double>& sampleTimes,
                                         const GltfNames& names, bool animateEveryTrack,
                                         const std::string& path) {
    std::vector<std::string> warnings;
    tinygltf::Model model;
    model.asset.version = "2.0";
    model.asset.generator = std::string("mhost ") + MHOST_VERSION;
    BufferWriter buffer(model);

    std::vector<float> times(sampleTimes.begin(), sampleTimes.end());
    const int input = buffer.add(times, TINYGLTF_TYPE_SCALAR, static_cast<int>(times.size()), true);
    tinygltf::Animation animation;
    animation.name = names.animation;
    tinygltf::Scene scene;
    scene.name = names.scene;

    for (std::size_t t = 0; t < tracks.size(); ++t) {
        const RigTrack& track = tracks[t];
        const int index = static_cast<int>(t);
        std::vector<Trs> samples;
        bool warned = false;
        for (std::size_t i = 0; i < track.local.size(); ++i) {
            for (const double x : track.local[i])
                if (!std::isfinite(x))
                    throw RunError("node " + quote(track.name) +
                                   " has a transform that is not finite; nothing to export");
            samples.push_back(toTrs(track.local[i]));
            if (samples.back().approximate && !warned) {
                warned = true;
                warnings.push_back("node " + quote(track.name) +
                                   ": the transform holds shear that glTF's translate, rotate "
                                   "and scale cannot carry; the nearest of those is written");
            }
            // Adjacent quaternions in the same hemisphere, so that linear
            // blending between samples turns the short way.
            if (i > 0) {
                auto& q = samples.back().rotation;
                const auto& p = samples[samples.size() - 2].rotation;
                if (q[0] * p[0] + q[1] * p[1] + q[2] * p[2] + q[3] * p[3] < 0)
                    for (double& c : q)
                        c = -c;
            }
        }

        tinygltf::Node node;
        node.name = track.name;
        const Trs& first = samples.front();
        node.translation.assign(first.translation.begin(), first.translation.end());
        node.rotation.assign(first.rotation.begin(), first.rotation.end());
        node.scale.assign(first.scale.begin(), first.scale.end());
        model.nodes.push_back(node);
        if (track.parent < 0)
            scene.nodes.push_back(index);
        else
            model.nodes[static_cast<std::size_t>(track.parent)].children.push_back(index);

        const bool moves = animateEveryTrack || track.role == RigTrack::Role::Swept ||
                           std::any_of(track.local.begin(), track.local.end(),
                                       [&](const Matrix16& m) { return m != track.local.front(); });
        if (!moves)
            continue;
        if (samples.size() != times.size())
            throw std::logic_error("a moving track needs one sample per time");
        const auto channel = [&](const char* pathName, int width, auto field) {
            std::vector<float> values;
            for (const Trs& s : samples)
                for (int c = 0; c < width; ++c)
                    values.push_back(static_cast<float>((s.*field)[static_cast<std::size_t>(c)]));
            tinygltf::AnimationSampler sampler;
            sampler.input = input;
            sampler.output =
                buffer.add(values, width == 4 ? TINYGLTF_TYPE_VEC4 : TINYGLTF_TYPE_VEC3,
                           static_cast<int>(samples.size()), false);
            sampler.interpolation = "LINEAR";
            animation.samplers.push_back(sampler);
            tinygltf::AnimationChannel ch;
            ch.sampler = static_cast<int>(animation.samplers.size()) - 1;
            ch.target_node = index;
            ch.target_path = pathName;
            animation.channels.push_back(ch);
        };
        channel("translation", 3, &Trs::translation);
        channel("rotation", 4, &Trs::rotation);
        channel("scale", 3, &Trs::scale);
    }
    model.animations.push_back(animation);
    model.scenes.push_back(scene);
    model.defaultScene = 0;
    model.buffers[0].name = "samples";

    const bool binary = isBinaryGltf(path);
    std::ostringstream out;
    tinygltf::TinyGLTF writer;
    if (!writer.WriteGltfSceneToStream(&model, out, true, binary))
        throw RunError(path + ": the glTF writer failed");
    writeFileAtomically(path, out.str());
    return warnings;
}

} // namespace mhost
