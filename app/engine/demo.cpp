#include "engine/demo.hpp"

#include "support/errors.hpp"

#include <algorithm>
#include <string>

namespace mhost {

namespace {

void edit(OP_Node& node, const char* token, int component, double value, float time = 0.0f) {
    if (!node.setParmByUser(token, component, time, value))
        throw RunError(describeNode(node) + ": the host refused to set \"" + token + "\"");
}

void press(OP_Node& node, const std::string& token) {
    if (!node.pressButton(token.c_str(), 0.0f))
        throw RunError(describeNode(node) + ": the host has no button \"" + token + "\"");
}

} // namespace

const std::vector<DemoKey>& demoKeys() {
    static const std::vector<DemoKey> keys{
        {0.0, {0, 0, 0}, {0, 0, 0}, {1, 1, 1}},
        {4.0, {2, 1, 0}, {0, 45, 0}, {1, 1, 1}},
        {7.0, {3, 2, 1}, {30, 60, 20}, {1.25, 1.25, 1.25}},
        {10.0, {4, 2, 3}, {0, 75, 90}, {1.5, 1, 0.75}},
    };
    return keys;
}

OBJ_Node& buildDemoScene(Scene& scene, const DemoOptions& options) {
    if (scene.host().table().getOperator(keyed::kType) == nullptr)
        throw InputError("the demo needs the node type \"quenlo\", which no loaded module "
                         "registers (build OBJ_Quenlo.so, or name it with --module)");
    OP_Node& dummy = scene.create("null", "dummy");
    OP_Node& q = scene.create(keyed::kType, "q");
    if (!q.setInput(1, &dummy))
        throw RunError("cannot wire the key dummy into input 1 of \"q\"");

    edit(q, keyed::kInterp, 0, options.quaternion ? 1 : 0);
    edit(q, keyed::kEase, 0, options.ease ? 1 : 0);
    // Key instances 1..N besides key 0.
    const auto& keys = demoKeys();
    edit(q, keyed::kKeyCount, 0, static_cast<double>(keys.size() - 1));
    // The dummy works in key 0's orders, so Get key raises no order warning.
    edit(dummy, OBJ_Token::xOrd, 0, q.evalInt(keyed::kKeyZeroXformOrder, 0, keyed::kKeyTime));
    edit(dummy, OBJ_Token::rOrd, 0, q.evalInt(keyed::kKeyZeroRotateOrder, 0, keyed::kKeyTime));

    for (std::size_t k = 0; k < keys.size(); ++k) {
        const DemoKey& key = keys[k];
        edit(q, keyed::kDriver, 0, key.driver);
        for (int c = 0; c < 3; ++c) {
            const auto i = static_cast<std::size_t>(c);
            edit(dummy, OBJ_Token::translate, c, key.translate[i]);
            edit(dummy, OBJ_Token::rotate, c, key.rotate[i]);
            edit(dummy, OBJ_Token::scale, c, key.scale[i]);
        }
        press(q, std::string(keyed::kGetKeyPrefix).append(std::to_string(k)));
    }
    return asObject(q);
}

EvalReport runDemo(Scene& scene, const DemoOptions& options) {
    OBJ_Node& q = buildDemoScene(scene, options);
    const auto [low, high] =
        std::minmax_element(demoKeys().begin(), demoKeys().end(),
                            [](const DemoKey& a, const DemoKey& b) { return a.driver < b.driver; });
    return sweepDriver(q, 0.0f, SweepRange{low->driver, high->driver, options.steps});
}

} // namespace mhost
