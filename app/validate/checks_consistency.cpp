// The checks that a node's state is all there is to it: scenes save and
// load again byte for byte, cooks are deterministic, and only a node that
// says so depends on time.
#include "validate/check_groups.hpp"

#include "engine/scene_io.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"
#include "validate/check_support.hpp"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace mhost::validation {

namespace {

// The first line where two texts differ, for a message.
std::string firstDifference(const std::string& a, const std::string& b) {
    std::istringstream ia(a), ib(b);
    std::string la, lb;
    for (int line = 1;; ++line) {
        const bool moreA = static_cast<bool>(std::getline(ia, la));
        const bool moreB = static_cast<bool>(std::getline(ib, lb));
        if (!moreA && !moreB)
            return "the texts differ";
        if (la != lb || moreA != moreB)
            return "line " + std::to_string(line) + ": " + quote(moreA ? la : "(end)") +
                   " became " + quote(moreB ? lb : "(end)");
    }
}

std::string firstBitDifference(const UT_DMatrix4& a, const UT_DMatrix4& b) {
    for (int i = 0; i < 16; ++i)
        if (std::memcmp(a.data() + i, b.data() + i, sizeof(double)) != 0)
            return "element " + std::to_string(i) + ": " + formatShortest(a.data()[i]) + " and " +
                   formatShortest(b.data()[i]);
    return "";
}

} // namespace

void checkRoundTrip(Subject& s) {
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        OP_Node* previous = nullptr;
        for (int r = 0; r < 5; ++r) {
            OP_Node& node = bench.make(*type);
            randomize(node, s.random);
            // Keyframes on a few number components.
            for (int i = 0; i < node.getParmCount(); ++i) {
                const PRM_Parm& parm = *node.getParm(i);
                if (parm.getType().isFloat() && !parm.isMultiParm() && s.random() % 4 == 0)
                    node.setKeyframes(i, 0,
                                      {{0.0f, randomValue(parm.getTemplate(), s.random)},
                                       {1.5f, randomValue(parm.getTemplate(), s.random)}});
            }
            if (previous && node.nInputs() > 0)
                node.setInput(0, previous);
            previous = &node;
        }
    }
    const std::string first = sceneText(bench.scene());
    Scene loaded(s.host);
    try {
        sceneFromText(loaded, first, "the saved scene");
    } catch (const Failure& failure) {
        fail(std::string("a saved scene does not load: ") + failure.what() + " (seed " +
             std::to_string(s.seed) + ")");
    }
    const std::string second = sceneText(loaded);
    if (first != second)
        fail("save, load and save change the scene: " + firstDifference(first, second) + " (seed " +
             std::to_string(s.seed) + ")");
}

void checkDeterminism(Subject& s) {
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        for (int r = 0; r < kRounds; ++r) {
            OP_Node& a = bench.make(*type);
            const std::vector<Edit> edits = randomize(a, s.random);
            OP_Node& b = bench.make(*type);
            applyEdits(b, edits);
            const float time = randomTime(s.random);
            OP_Context context(time);
            OBJ_Node& objA = object(*type, a);
            OBJ_Node& objB = object(*type, b);
            objA.cook(context);
            const UT_DMatrix4 first = objA.getLocalTransform();
            objA.forceRecook();
            objA.cook(context);
            std::string difference = firstBitDifference(first, objA.getLocalTransform());
            if (!difference.empty())
                fail(typeName(*type) + ": two cooks of one node at time " + formatShortest(time) +
                     " differ in " + difference + ", with " + describe(edits, a) + " (seed " +
                     std::to_string(s.seed) + ")");
            objB.cook(context);
            difference = firstBitDifference(first, objB.getLocalTransform());
            if (!difference.empty())
                fail(typeName(*type) + ": two nodes with the same values differ at time " +
                     formatShortest(time) + " in " + difference + ", with " + describe(edits, a) +
                     " (seed " + std::to_string(s.seed) + ")");
            bench.scene().root().destroyAllNodes();
        }
    }
}

void checkTimeIndependence(Subject& s) {
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        for (int r = 0; r < kRounds; ++r) {
            OP_Node& a = bench.make(*type);
            const std::vector<Edit> edits = randomize(a, s.random);
            const float t0 = randomTime(s.random), t1 = randomTime(s.random);
            OP_Context c0(t0), c1(t1);
            OBJ_Node& objA = object(*type, a);
            objA.cook(c0);
            if (objA.flags().timeDependent == 0) {
                OP_Node& b = bench.make(*type);
                applyEdits(b, edits);
                OBJ_Node& objB = object(*type, b);
                objB.cook(c1);
                const std::string difference =
                    firstBitDifference(objA.getLocalTransform(), objB.getLocalTransform());
                if (!difference.empty())
                    fail(typeName(*type) +
                         ": a node that is not flagged time-dependent "
                         "gives another matrix at time " +
                         formatShortest(t1) + " than at " + formatShortest(t0) + ", in " +
                         difference + ", with " + describe(edits, a) + " (seed " +
                         std::to_string(s.seed) + ")");
            }
            bench.scene().root().destroyAllNodes();
        }
    }
}

} // namespace mhost::validation
