// Fuzz target: a rigged quenlo node edited at random. The bytes choose
// parameter values (NaN, infinities and huge numbers included), instance
// counts, keyframes, wiring, button presses and cook times; every cook must
// give a finite matrix or report an error, and nothing may crash.
#include "fuzz_support.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

namespace {

double anyNumber(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
        return std::numeric_limits<double>::quiet_NaN();
    case 1:
        return in.ConsumeBool() ? std::numeric_limits<double>::infinity()
                                : -std::numeric_limits<double>::infinity();
    case 2:
        return in.ConsumeFloatingPoint<double>(); // anywhere in the double range
    case 3:
        return in.ConsumeIntegralInRange(-8, 8); // menu indices, toggles, small counts
    default:
        return in.ConsumeFloatingPointInRange(-1000.0, 1000.0);
    }
}

void requireSane(OBJ_Node& node, float time) {
    OP_Context context(time);
    const OP_ERROR severity = node.cook(context);
    if (severity >= UT_ERROR_ABORT)
        return;
    for (int i = 0; i < 16; ++i) {
        if (!std::isfinite(node.getLocalTransform().data()[i]) ||
            !std::isfinite(node.getWorldTransform().data()[i]))
            std::abort(); // a non-finite matrix reported as a good cook
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mhost;
    FuzzedDataProvider in(data, size);
    Scene scene(fuzz::host());
    OBJ_Node& parent = asObject(scene.create("null", "parent"));
    OBJ_Node& dummy = asObject(scene.create("null", "dummy"));
    OBJ_Node& q = asObject(scene.create("quenlo", "q"));
    q.setInput(0, &parent);
    q.setInput(1, &dummy);
    OP_Node* const nodes[] = {&q, &dummy, &parent};

    while (in.remaining_bytes() > 0) {
        OP_Node& node = *nodes[in.ConsumeIntegralInRange<std::size_t>(0, 2)];
        const int parmIndex = in.ConsumeIntegralInRange(0, node.getParmCount() - 1);
        const PRM_Parm* parm = node.getParm(parmIndex);
        const std::string token = parm->getToken();
        const float time = in.ConsumeFloatingPointInRange(-10.0f, 10.0f);
        switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0: // a user edit
            if (parm->isMultiParm())
                node.setParmByUser(token.c_str(), 0, time,
                                   in.ConsumeIntegralInRange(-2, fuzz::kMaxFuzzInstances));
            else
                node.setParmByUser(token.c_str(),
                                   in.ConsumeIntegralInRange(0, parm->getVectorSize() - 1), time,
                                   anyNumber(in));
            break;
        case 1: { // a plug-in write, no callback
            if (!parm->isMultiParm())
                node.writeValue(parmIndex, in.ConsumeIntegralInRange(0, parm->getVectorSize() - 1),
                                time, anyNumber(in));
            break;
        }
        case 2: { // keyframes
            std::vector<UT_Keyframe> keys(in.ConsumeIntegralInRange<std::size_t>(0, 4));
            for (UT_Keyframe& key : keys)
                key = {in.ConsumeFloatingPointInRange(-10.0f, 10.0f), anyNumber(in)};
            node.setKeyframes(parmIndex, in.ConsumeIntegralInRange(0, parm->getVectorSize() - 1),
                              keys);
            node.refreshEnableStates();
            break;
        }
        case 3: // a press of whatever button this is
            node.clearErrors();
            node.pressButton(token.c_str(), time);
            break;
        case 4: // rewire
            q.setInput(in.ConsumeIntegralInRange(0u, 1u), in.ConsumeBool() ? &dummy : nullptr);
            break;
        default:
            requireSane(q, time);
            break;
        }
    }
    requireSane(q, 0.0f);
    return 0;
}
