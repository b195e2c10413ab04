// Dirty propagation: a cook that recooks only what the host noted as
// changed (and, at a new time, what depends on time), and the readers of
// those, gives every node the matrix a cook of a fresh copy of the scene
// gives, bit for bit; and the matrices it reports as changed are all that
// changed.
#include "engine/evaluation.hpp"
#include "engine/node_edits.hpp"
#include "engine/scene_cook.hpp"
#include "engine/scene_io.hpp"
#include "test_support.hpp"

#include <OBJ/OBJ_Node.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace mhost {
namespace {

// A random edit of the kinds an editor, a script or Python makes.
class Editor {
public:
    Editor(Scene& scene, unsigned seed, bool quenlo)
        : scene_(scene), random_(seed), quenlo_(quenlo) {}

    void makeScene(int nodes) {
        for (int i = 0; i < nodes; ++i)
            create();
        for (int i = 0; i < nodes; ++i)
            rewire();
    }

    // One edit, chosen at random; returns what it was, for messages.
    std::string edit() {
        switch (pick(10)) {
        case 0:
            return create();
        case 1:
            return remove();
        case 2:
            return rewire();
        case 3:
            return keyframe();
        case 4:
            return rename();
        case 5:
            return press();
        default:
            return set();
        }
    }

    float time() { return static_cast<float>(pick(40)) / 8.0f - 1.0f; }

private:
    int pick(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }
    double value() { return static_cast<double>(pick(2001) - 1000) / 100.0; }
    OP_Node* any() {
        const int n = scene_.root().getNchildren();
        return n == 0 ? nullptr : scene_.root().getChild(pick(n));
    }

    std::string create() {
        const bool keyed = quenlo_ && pick(3) == 0;
        OP_Node& made = scene_.create(keyed ? "quenlo" : "null", "n" + std::to_string(next_++));
        return "create " + std::string(made.getName());
    }
    std::string remove() {
        if (scene_.root().getNchildren() < 3)
            return create();
        OP_Node* doomed = any();
        const std::string name = doomed->getName();
        scene_.remove(*doomed);
        return "remove " + name;
    }
    std::string rewire() {
        OP_Node* node = any();
        OP_Node* from = pick(4) == 0 ? nullptr : any();
        if (!node || node->nInputs() == 0)
            return "nothing";
        const unsigned input = static_cast<unsigned>(pick(static_cast<int>(node->nInputs())));
        node->setInput(input, from); // a cycle is refused: nothing changes
        return "wire " + std::string(node->getName());
    }
    std::string set() {
        OP_Node* node = any();
        const char* token = quenlo_ && isKeyedNode(*node) && pick(2) == 0 ? "driverval"
                            : pick(2) == 0                                ? "t"
                                                                          : "r";
        if (!node->findParm(token) || !node->findParm(token)->isVisible())
            token = "driverval";
        if (!node->findParm(token))
            return "nothing";
        const int size = node->findParm(token)->getVectorSize();
        editParm(*node, token, pick(size), {value()}, time());
        return "set " + std::string(node->getName()) + " " + token;
    }
    std::string keyframe() {
        OP_Node* node = any();
        const char* token = node->findParm("driverval") ? "driverval" : "t";
        std::vector<UT_Keyframe> keys;
        for (int k = pick(3); k > 0; --k)
            keys.push_back({static_cast<float>(k), value()});
        replaceKeyframes(*node, token, 0, keys);
        return "keyframes " + std::string(node->getName()) + " " + token;
    }
    std::string rename() {
        OP_Node* node = any();
        scene_.rename(*node, "r" + std::to_string(next_++));
        return "rename";
    }
    std::string press() {
        OP_Node* node = any();
        if (!quenlo_ || !isKeyedNode(*node))
            return set();
        pressButton(*node, pick(2) == 0 ? "getkey0" : "putkey0", time());
        return "press " + std::string(node->getName());
    }

    Scene& scene_;
    std::mt19937 random_;
    bool quenlo_;
    int next_ = 0;
};

// Every node's world matrix, as a cook of a fresh copy of the scene gives it.
std::vector<double> freshCook(const Scene& scene, float time) {
    Scene fresh(scene.host());
    sceneFromText(fresh, sceneText(scene), "fresh");
    std::vector<double> worlds;
    for (int i = 0; i < fresh.root().getNchildren(); ++i) {
        OP_Node* node = fresh.root().getChild(i);
        if (OBJ_Node* object = node->castToOBJNode()) {
            const Matrix16 world = cookNode(*object, time).world;
            worlds.insert(worlds.end(), world.begin(), world.end());
        } else {
            static constexpr double kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0,
                                                     0, 0, 1, 0, 0, 0, 0, 1};
            worlds.insert(worlds.end(), kIdentity, kIdentity + 16);
        }
    }
    return worlds;
}

TEST(SceneCook, RecookingOnlyWhatChangedGivesWhatAFreshCookGivesBitForBit) {
    Host host;
    const bool quenlo = test::moduleBuilt();
    if (quenlo)
        host.loadModule(test::modulePath());
    for (unsigned seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Scene scene(host);
        Editor editor(scene, seed, quenlo);
        editor.makeScene(12 + static_cast<int>(seed) * 2);
        SceneCook cook(scene);
        // A page's copy of the matrices, kept up to date by what each cook
        // reports as changed.
        std::vector<double> page;
        std::uint64_t held = 0, structure = 0;
        for (int step = 0; step < 60; ++step) {
            std::string what = "time";
            if (step % 3 != 0)
                what = editor.edit();
            const float time = step % 2 ? editor.time() : cook.time();
            cook.cook(time);
            const std::vector<double> fresh = freshCook(scene, time);
            ASSERT_EQ(cook.nodes().size() * 16, fresh.size()) << what;
            for (std::size_t i = 0; i < cook.nodes().size(); ++i)
                ASSERT_EQ(std::memcmp(cook.world(i), &fresh[i * 16], 16 * sizeof(double)), 0)
                    << "step " << step << " after " << what << ": node "
                    << cook.nodes()[i]->getName() << " at time " << time;
            if (structure != cook.structure()) {
                page.assign(fresh.size(), 0.0);
                held = 0;
                structure = cook.structure();
            }
            for (const std::uint32_t i : cook.changedSince(held))
                std::memcpy(&page[i * 16], cook.world(i), 16 * sizeof(double));
            held = cook.version();
            ASSERT_EQ(page, fresh)
                << "step " << step << " after " << what << ": a change was not reported";
        }
    }
}

TEST(SceneCook, AnEditOfOneNodeRecooksItAndWhatReadsItAlone) {
    Host host;
    Scene scene(host);
    for (int i = 0; i < 50; ++i)
        scene.create("null", "n" + std::to_string(i));
    // Two chains: n1 under n0, n2 under n1; and the rest alone.
    scene.node("n1").setInput(0, &scene.node("n0"));
    scene.node("n2").setInput(0, &scene.node("n1"));
    SceneCook cook(scene);
    cook.cook(0);
    const auto cooks = [&](const char* name) {
        return scene.node(name).castToOBJNode()->getCookCount();
    };
    const int before = cooks("n30");
    editParm(scene.node("n1"), "t", 0, {2.0}, 0);
    const std::uint64_t held = cook.version();
    cook.cook(0);
    EXPECT_EQ(cook.changedSince(held), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(cooks("n30"), before) << "a node the edit did not reach was cooked";
    EXPECT_EQ(cooks("n0"), 1);
    // At another time, nothing that does not depend on time is cooked.
    cook.cook(1.5f);
    EXPECT_EQ(cooks("n2"), 2);
    replaceKeyframes(scene.node("n0"), "t", 1, {{0.0f, 0.0}, {1.0f, 4.0}});
    cook.cook(1.5f);
    const std::uint64_t animated = cook.version();
    cook.cook(0.5f);
    EXPECT_EQ(cook.changedSince(animated), (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_EQ(cooks("n30"), before);
}

} // namespace
} // namespace mhost
