// --gltf and --html: what the files hold, read back with a glTF reader, and
// the conversion from the host's row vectors to glTF's translate, rotate and
// scale.
#include "output/gltf_export.hpp"
#include "test_support.hpp"
#include "json/json.hpp"

#include <Eigen/Geometry>
#include <gtest/gtest.h>
#include <tiny_gltf.h>

#include <cmath>
#include <cstring>
#include <random>

namespace mhost {
namespace {

using test::describe;
using test::readFile;
using test::runMhost;
using test::RunResult;
using test::TempDir;

// glTF's N = T · R · S (column vectors) from a node's or a sample's parts.
Eigen::Matrix4d compose(const double* t, const double* q, const double* s) {
    Eigen::Affine3d a = Eigen::Translation3d(t[0], t[1], t[2]) *
                        Eigen::Quaterniond(q[3], q[0], q[1], q[2]) *
                        Eigen::Scaling(s[0], s[1], s[2]);
    return a.matrix();
}

// The host's matrix (row vectors, row-major 16 numbers) as glTF's N.
Eigen::Matrix4d fromHost(const Json& sixteen) {
    Eigen::Matrix4d n;
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col)
            n(col, row) = sixteen[static_cast<std::size_t>(row * 4 + col)].get<double>();
    return n;
}

Matrix16 toHost(const Eigen::Matrix4d& n) {
    Matrix16 m{};
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col)
            m[static_cast<std::size_t>(row * 4 + col)] = n(col, row);
    return m;
}

// The floats an accessor holds.
std::vector<float> floats(const tinygltf::Model& model, int accessorIndex) {
    const tinygltf::Accessor& accessor =
        model.accessors.at(static_cast<std::size_t>(accessorIndex));
    EXPECT_EQ(accessor.componentType, TINYGLTF_COMPONENT_TYPE_FLOAT);
    const tinygltf::BufferView& view =
        model.bufferViews.at(static_cast<std::size_t>(accessor.bufferView));
    const auto& bytes = model.buffers.at(static_cast<std::size_t>(view.buffer)).data;
    const std::size_t width = accessor.type == TINYGLTF_TYPE_SCALAR ? 1
                              : accessor.type == TINYGLTF_TYPE_VEC3 ? 3
                                                                    : 4;
    std::vector<float> out(accessor.count * width);
    std::memcpy(out.data(), bytes.data() + view.byteOffset + accessor.byteOffset,
                out.size() * sizeof(float));
    return out;
}

tinygltf::Model load(const std::string& path) {
    tinygltf::TinyGLTF reader;
    tinygltf::Model model;
    std::string err, warn;
    const bool binary = path.size() > 4 && path.substr(path.size() - 4) == ".glb";
    const bool ok = binary ? reader.LoadBinaryFromFile(&model, &err, &warn, path)
                           : reader.LoadASCIIFromFile(&model, &err, &warn, path);
    EXPECT_TRUE(ok) << err << warn;
    return model;
}

int nodeNamed(const tinygltf::Model& model, const std::string& name) {
    for (std::size_t i = 0; i < model.nodes.size(); ++i)
        if (model.nodes[i].name == name)
            return static_cast<int>(i);
    ADD_FAILURE() << "no glTF node " << name;
    return -1;
}

// The sampled TRS of one node, recomposed per sample.
std::vector<Eigen::Matrix4d> animatedMatrices(const tinygltf::Model& model, int node,
                                              std::vector<float>* times) {
    std::vector<float> t, r, s;
    for (const auto& channel : model.animations.at(0).channels) {
        if (channel.target_node != node)
            continue;
        const auto& sampler =
            model.animations[0].samplers.at(static_cast<std::size_t>(channel.sampler));
        EXPECT_EQ(sampler.interpolation, "LINEAR");
        *times = floats(model, sampler.input);
        (channel.target_path == "translation" ? t
         : channel.target_path == "rotation"  ? r
                                              : s) = floats(model, sampler.output);
    }
    std::vector<Eigen::Matrix4d> out;
    for (std::size_t i = 0; i < times->size(); ++i) {
        const double td[3] = {t.at(3 * i), t.at(3 * i + 1), t.at(3 * i + 2)};
        const double qd[4] = {r.at(4 * i), r.at(4 * i + 1), r.at(4 * i + 2), r.at(4 * i + 3)};
        const double sd[3] = {s.at(3 * i), s.at(3 * i + 1), s.at(3 * i + 2)};
        out.push_back(compose(td, qd, sd));
    }
    return out;
}

Eigen::Matrix4d staticMatrix(const tinygltf::Model& model, int node) {
    const auto& n = model.nodes.at(static_cast<std::size_t>(node));
    return compose(n.translation.data(), n.rotation.data(), n.scale.data());
}

TEST(GltfExport, RecomposingTheSamplesGivesTheCookedMatricesInBothFileKinds) {
    REQUIRE_MODULE();
    const TempDir dir;
    for (const char* file : {"rig.gltf", "rig.glb"}) {
        for (const bool byTime : {false, true}) {
            SCOPED_TRACE(std::string(file) + (byTime ? " over time" : " by driver"));
            std::vector<std::string> args{"eval", test::rigScenePath(), "arm"};
            if (byTime)
                args.insert(args.end(), {"--time", "0:2:12"});
            else
                args.insert(args.end(), {"--driver", "-0.2:1.2:14"});
            std::vector<std::string> withFile = args;
            withFile.insert(withFile.end(), {"--gltf", dir.file(file)});
            args.insert(args.end(), {"--format", "json"});
            const RunResult exported = runMhost(withFile, dir.path());
            ASSERT_EQ(exported.status, 0) << describe(exported);
            const RunResult json = runMhost(args, dir.path());
            ASSERT_EQ(json.status, 0) << describe(json);
            const Json report = parseJson(json.out, "stdout");
            const Json& rows = report["rows"];

            const tinygltf::Model model = load(dir.file(file));
            ASSERT_EQ(model.animations.size(), 1u);
            const int arm = nodeNamed(model, "arm"), base = nodeNamed(model, "base");
            nodeNamed(model, "dummy");
            ASSERT_GE(arm, 0);
            ASSERT_GE(base, 0);
            // The parent chain is the glTF hierarchy.
            EXPECT_EQ(model.nodes[static_cast<std::size_t>(base)].children, std::vector<int>{arm});

            std::vector<float> times;
            const std::vector<Eigen::Matrix4d> local = animatedMatrices(model, arm, &times);
            ASSERT_EQ(local.size(), rows.size());
            for (std::size_t i = 0; i < rows.size(); ++i) {
                const double expectedTime =
                    byTime ? rows[i]["time"].get<double>() : static_cast<double>(i) / 24.0;
                EXPECT_NEAR(times[i], expectedTime, 1e-6);
                EXPECT_TRUE(local[i].isApprox(fromHost(rows[i]["local"]), 1e-5))
                    << "sample " << i << "\n"
                    << local[i] << "\nnot\n"
                    << fromHost(rows[i]["local"]);
                // Down the hierarchy, the parent's matrix times the node's is
                // the cooked world matrix.
                EXPECT_TRUE((staticMatrix(model, base) * local[i])
                                .isApprox(fromHost(rows[i]["world"]), 1e-5))
                    << "sample " << i;
            }
        }
    }
}

TEST(GltfExport, NeighbouringRotationsTakeTheShortWay) {
    const TempDir dir;
    // A null node turned through 720 degrees over time: every sample's
    // quaternion must lie in the same hemisphere as the one before it.
    const std::string scene = dir.file("spin.json");
    const RunResult made = runMhost({"run", dir.write("spin.script.json", R"([
            {"op": "create", "type": "null", "name": "spin"},
            {"op": "keyframes", "node": "spin", "parm": "r", "component": 1,
             "keys": [[0, 0], [1, 720]]},
            {"op": "save", "path": "spin.json"}])")},
                                    dir.path());
    ASSERT_EQ(made.status, 0) << describe(made);
    const RunResult r = runMhost(
        {"eval", scene, "spin", "--time", "0:1:16", "--gltf", dir.file("spin.gltf")}, dir.path());
    ASSERT_EQ(r.status, 0) << describe(r);
    const tinygltf::Model model = load(dir.file("spin.gltf"));
    const auto& channels = model.animations.at(0).channels;
    int checked = 0;
    for (const auto& channel : channels) {
        if (channel.target_path != "rotation")
            continue;
        const std::vector<float> q = floats(
            model, model.animations[0].samplers[static_cast<std::size_t>(channel.sampler)].output);
        for (std::size_t i = 4; i < q.size(); i += 4, ++checked) {
            const double dot =
                q[i] * q[i - 4] + q[i + 1] * q[i - 3] + q[i + 2] * q[i - 2] + q[i + 3] * q[i - 1];
            EXPECT_GT(dot, 0.0) << "sample " << i / 4;
            EXPECT_NEAR(q[i] * q[i] + q[i + 1] * q[i + 1] + q[i + 2] * q[i + 2] +
                            q[i + 3] * q[i + 3],
                        1.0, 1e-6);
        }
    }
    EXPECT_EQ(checked, 16);
}

TEST(GltfExport, ShearIsWrittenAsTheNearestTrsWithAWarning) {
    const TempDir dir;
    // Rotate, then scale along x: the local matrix holds shear.
    const RunResult made = runMhost({"run", dir.write("shear.script.json", R"([
            {"op": "create", "type": "null", "name": "sheared"},
            {"op": "set", "node": "sheared", "parm": "xOrd", "value": "rst"},
            {"op": "set", "node": "sheared", "parm": "r", "value": [0, 0, 45]},
            {"op": "set", "node": "sheared", "parm": "s", "value": [2, 1, 1]},
            {"op": "save", "path": "shear.json"}])")},
                                    dir.path());
    ASSERT_EQ(made.status, 0) << describe(made);
    const RunResult r = runMhost(
        {"eval", dir.file("shear.json"), "sheared", "--gltf", dir.file("shear.glb")}, dir.path());
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.err.find("mhost: warning: " + dir.file("shear.glb") +
                         ": node \"sheared\": the transform holds shear"),
              std::string::npos)
        << r.err;
    const tinygltf::Model model = load(dir.file("shear.glb"));
    ASSERT_EQ(model.nodes.size(), 1u);
    const auto& q = model.nodes[0].rotation;
    EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0, 1e-9);
}

TEST(TrsOfAHostMatrix, RecomposesRotationScaleAndTranslationIncludingMirrors) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0), size(0.1, 3.0);
    for (int i = 0; i < 200; ++i) {
        const Eigen::Quaterniond q =
            Eigen::Quaterniond(unit(random), unit(random), unit(random), unit(random)).normalized();
        Eigen::Vector3d s(size(random), size(random), size(random));
        if (i % 3 == 0)
            s.y() = -s.y(); // a mirror
        const Eigen::Affine3d a =
            Eigen::Translation3d(unit(random) * 5, unit(random) * 5, unit(random) * 5) * q *
            Eigen::Scaling(s);
        const Trs trs = toTrs(toHost(a.matrix()));
        EXPECT_FALSE(trs.approximate) << "sample " << i;
        const Eigen::Matrix4d back =
            compose(trs.translation.data(), trs.rotation.data(), trs.scale.data());
        EXPECT_TRUE(back.isApprox(a.matrix(), 1e-9)) << "sample " << i << "\n"
                                                     << back << "\nnot\n"
                                                     << a.matrix();
        if (s.y() < 0) {
            EXPECT_LT(trs.scale[0], 0.0) << "a mirror is a negative x scale";
        }
    }
}

TEST(TrsOfAHostMatrix, ShearAndVanishedAxesGiveAProperRotation) {
    Eigen::Matrix4d sheared = Eigen::Matrix4d::Identity();
    sheared(0, 1) = 0.7; // x moves with y
    Eigen::Matrix4d flat = Eigen::Matrix4d::Identity();
    flat(2, 2) = 0.0; // z squashed to nothing
    for (const Eigen::Matrix4d& n : {sheared, flat}) {
        const Trs trs = toTrs(toHost(n));
        EXPECT_TRUE(trs.approximate);
        const Eigen::Quaterniond q(trs.rotation[3], trs.rotation[0], trs.rotation[1],
                                   trs.rotation[2]);
        EXPECT_NEAR(q.norm(), 1.0, 1e-12);
        for (const double v : trs.scale)
            EXPECT_TRUE(std::isfinite(v));
    }
    // The squashed axis keeps a rotation of identity and a zero scale.
    const Trs trs = toTrs(toHost(flat));
    EXPECT_NEAR(std::abs(trs.rotation[3]), 1.0, 1e-12);
    EXPECT_NEAR(trs.scale[2], 0.0, 1e-12);
}

TEST(HtmlViewer, IsOnePageThatNeedsNothingElse) {
    REQUIRE_MODULE();
    const TempDir dir;
    const RunResult r = runMhost(
        {"demo", "--steps", "4", "--html", dir.file("demo.html"), "--gltf", dir.file("demo.gltf")},
        dir.path());
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::string page = readFile(dir.file("demo.html"));
    EXPECT_EQ(page.find("<script src"), std::string::npos);
    EXPECT_EQ(page.find("<link"), std::string::npos);
    EXPECT_EQ(page.find("@DATA@"), std::string::npos);
    EXPECT_NE(page.find("THREE.OrbitControls"), std::string::npos);
    EXPECT_NE(page.find("id=\"matrix\""), std::string::npos);
    // The data names the demo's nodes and holds one row per sample.
    const auto start = page.find("<script type=\"application/json\" id=\"sweep-data\">");
    ASSERT_NE(start, std::string::npos);
    const auto from = page.find('>', start) + 1;
    const Json data = parseJson(page.substr(from, page.find("</script>", from) - from), "data");
    EXPECT_EQ(data["rows"].size(), 5u);
    EXPECT_EQ(data["tracks"].size(), 2u) << "the dummy and the quenlo node";
    EXPECT_EQ(data["ghosts"].size(), 4u) << "one per key";
    EXPECT_EQ(data["plot"]["x"].size(), 5u);
    EXPECT_EQ(load(dir.file("demo.gltf")).nodes.size(), 2u);
}

TEST(HtmlViewer, NamesCannotEndItsScriptsOrInjectMarkup) {
    REQUIRE_MODULE();
    const TempDir dir;
    const std::string name = "</script><!--<b>";
    const RunResult made = runMhost({"run", dir.write("evil.json", R"([
            {"op": "create", "type": "null", "name": "</script><!--<b>"},
            {"op": "create", "type": "quenlo", "name": "q"},
            {"op": "wire", "node": "q", "input": 0, "from": "</script><!--<b>"},
            {"op": "save", "path": "evil.scene.json"}])")},
                                    dir.path());
    ASSERT_EQ(made.status, 0) << describe(made);
    const RunResult r = runMhost({"eval", dir.file("evil.scene.json"), "q", "--driver", "0:1:2",
                                  "--html", dir.file("evil.html")},
                                 dir.path());
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::string page = readFile(dir.file("evil.html"));
    // Only the page's own script elements end: one end for each opening.
    const auto count = [&](const std::string& what) {
        std::size_t n = 0;
        for (auto at = page.find(what); at != std::string::npos; at = page.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("</script"), count("<script"));
    EXPECT_EQ(count("<script"), 5u) << "the data, three.js, its controls, the view, the page's own";
    EXPECT_EQ(page.find(name), std::string::npos);
    // The data still holds the name as it is.
    const std::string opening = "id=\"sweep-data\">";
    const auto start = page.find(opening) + opening.size();
    const Json data = parseJson(page.substr(start, page.find("</script>", start) - start), "data");
    EXPECT_EQ(data["tracks"][0]["name"], name);
}

} // namespace
} // namespace mhost
