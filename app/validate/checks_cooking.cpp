// The checks that nodes cook: with their defaults, with random and hostile
// values, after button presses and after user edits.
#include "validate/check_groups.hpp"

#include "engine/scene_io.hpp"
#include "support/text.hpp"
#include "validate/check_support.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace mhost::validation {

namespace {

constexpr float kTimes[] = {-1.0f, 0.0f, 0.5f, 1.0f, 24.5f, 1000.0f};

std::vector<std::string> buttonsOf(const OP_Node& node) {
    std::vector<std::string> buttons;
    for (int i = 0; i < node.getParmCount(); ++i)
        if (node.getParm(i)->getType().isButton())
            buttons.push_back(node.getParm(i)->getToken());
    return buttons;
}

} // namespace

void checkDefaults(Subject& s) {
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        for (const float time : kTimes) {
            OP_Node& node = bench.make(*type);
            const std::string problem = cookProblem(object(*type, node), time);
            if (!problem.empty())
                fail(typeName(*type) + " with default parameters: " + problem);
            bench.destroy(node);
        }
    }
}

void checkRandomValues(Subject& s) {
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        for (int r = 0; r < kRounds; ++r) {
            OP_Node& node = bench.make(*type);
            const std::vector<Edit> edits = randomize(node, s.random);
            const float time = randomTime(s.random);
            const std::string problem = cookProblem(object(*type, node), time);
            if (!problem.empty())
                fail(typeName(*type) + ": " + problem + ", with " +
                     culprit(bench, *type, edits, time, node) + " (seed " + std::to_string(s.seed) +
                     ")");
            bench.destroy(node);
        }
    }
}

void checkHostileValues(Subject& s) {
    Bench bench(s.host);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double values[] = {nan, inf, -inf, 1e308, -1e308, 1e-308};
    for (const OP_Operator* type : s.types) {
        // Every number component at once, then each parameter alone.
        for (const double value : values) {
            OP_Node& node = bench.make(*type);
            for (int i = 0; i < node.getParmCount(); ++i) {
                const PRM_Parm& parm = *node.getParm(i);
                if (parm.isMultiParm() || !parm.getType().holdsValue() || parm.getType().isString())
                    continue;
                for (int c = 0; c < parm.getVectorSize(); ++c)
                    node.writeValue(i, c, 0.0f, value);
            }
            OP_Context context(0.0f);
            object(*type, node).cook(context);
            bench.destroy(node);
        }
        // Instance counts: none, the most the host holds, and a negative one.
        for (const int count : {0, OP_Parameters::maxMultiInstances, -5}) {
            OP_Node& node = bench.make(*type);
            for (int i = 0; i < node.getParmCount(); ++i)
                if (node.getParm(i)->isMultiParm())
                    node.setMultiCount(i, count);
            OP_Context context(1.0f);
            object(*type, node).cook(context);
            bench.destroy(node);
        }
    }
}

void checkButtons(Subject& s) {
    Bench bench(s.host);
    bool anyButton = false;
    for (const OP_Operator* type : s.types) {
        for (int r = 0; r < kRounds; ++r) {
            const bool wired = r % 2 == 1;
            OP_Node& node = bench.make(*type);
            randomize(node, s.random);
            if (wired) {
                for (unsigned i = 0; i < node.nInputs(); ++i) {
                    OP_Node& input = bench.makeNull();
                    randomize(input, s.random);
                    node.setInput(i, &input);
                }
            }
            std::vector<std::string> buttons = buttonsOf(node);
            anyButton = anyButton || !buttons.empty();
            std::shuffle(buttons.begin(), buttons.end(), s.random);
            std::string pressed;
            for (const std::string& button : buttons) {
                const float time = randomTime(s.random);
                // A press may change the list (a button that adds instances).
                if (node.findParmIndex(button) < 0)
                    continue;
                node.pressButton(button.c_str(), time);
                pressed += (pressed.empty() ? "" : ", ") + quote(button);
                const std::string problem = cookProblem(object(*type, node), time);
                if (!problem.empty())
                    fail(typeName(*type) + (wired ? " with every input wired" : " unwired") +
                         ": after pressing " + pressed + ", " + problem + " (seed " +
                         std::to_string(s.seed) + ")");
            }
            bench.scene().root().destroyAllNodes();
        }
    }
    if (!anyButton)
        throw CheckSkipped("no type of the module has a button");
}

void checkUserEdits(Subject& s) {
    Bench bench(s.host);
    for (const OP_Operator* type : s.types) {
        for (int r = 0; r < kRounds; ++r) {
            OP_Node& node = bench.make(*type);
            std::vector<std::string> tokens;
            for (int i = 0; i < node.getParmCount(); ++i) {
                const PRM_Parm& parm = *node.getParm(i);
                if (parm.getType().holdsValue() && !parm.getType().isString())
                    tokens.push_back(parm.getToken());
            }
            std::shuffle(tokens.begin(), tokens.end(), s.random);
            std::string edits;
            for (const std::string& token : tokens) {
                const PRM_Parm* parm = node.findParm(token);
                if (parm == nullptr)
                    continue; // removed by an earlier edit's callback
                const int component =
                    static_cast<int>(s.random() % static_cast<unsigned>(parm->getVectorSize()));
                double value = randomValue(parm->getTemplate(), s.random);
                if (parm->isMultiParm())
                    value = static_cast<double>(s.random() % (kMaxRandomInstances + 1));
                node.setParmByUser(token.c_str(), component, 0.0f, value);
                edits += (edits.empty() ? "" : ", ") + quote(token) + " = " + formatShortest(value);
            }
            const std::string problem = cookProblem(object(*type, node), 0.0f);
            if (!problem.empty())
                fail(typeName(*type) + ": after user edits " + edits + ", " + problem + " (seed " +
                     std::to_string(s.seed) + ")");
            bench.destroy(node);
        }
    }
}

} // namespace mhost::validation
