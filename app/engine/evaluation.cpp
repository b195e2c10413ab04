#include "engine/evaluation.hpp"

#include "support/errors.hpp"
#include "support/text.hpp"

#include <OP/OP_Context.h>
#include <OP_CookHints.h>
#include <OP_CookRun.h>
#include <UT/UT_Math.h>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace mhost {

Matrix16 toArray(const UT_DMatrix4& m) {
    Matrix16 out{};
    for (int i = 0; i < 16; ++i)
        out[static_cast<std::size_t>(i)] = m.data()[i];
    return out;
}

std::vector<double> SweepRange::values() const {
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(steps) + 1);
    for (int i = 0; i <= steps; ++i)
        out.push_back(i == steps ? to : from + (to - from) * i / steps);
    return out;
}

namespace {

// The label of menu item `index` of the parameter's menu, or the number.
std::string menuLabel(const OP_Node& node, std::string_view token, int index) {
    if (const PRM_Parm* parm = node.findParm(token)) {
        if (const PRM_ChoiceList* menu = parm->getTemplate().getChoiceListPtr()) {
            if (const PRM_Name* item = menu->getItem(index); item && item->getLabel())
                return item->getLabel();
        }
    }
    return std::to_string(index);
}

// The menu indices of the orders a node's transform is built in. A keyed
// node applies every key in key 0's orders, read at time 0; other objects
// use their own, at the cook time.
struct Orders {
    const char* transformToken;
    const char* rotateToken;
    int transform;
    int rotate;
};

Orders readOrders(const OP_Node& node, float time) {
    const bool keyed = isKeyedNode(node);
    Orders orders{keyed ? keyed::kKeyZeroXformOrder : OBJ_Token::xOrd,
                  keyed ? keyed::kKeyZeroRotateOrder : OBJ_Token::rOrd, 0, 0};
    const float orderTime = keyed ? keyed::kKeyTime : time;
    orders.transform = node.evalInt(orders.transformToken, 0, orderTime);
    orders.rotate = node.evalInt(orders.rotateToken, 0, orderTime);
    return orders;
}

Decomposed decompose(const OP_Node& node, const UT_DMatrix4& local, float time) {
    const Orders orders = readOrders(node, time);
    const UT_XformOrder order(UT_XformOrder::mainOrderFromMenu(orders.transform),
                              UT_XformOrder::rotOrderFromMenu(orders.rotate));
    Decomposed out;
    out.ok = local.explode(order, out.translate.data(), out.rotate.data(), out.scale.data());
    // No -0 in what is printed.
    for (auto* v : {&out.translate, &out.rotate, &out.scale}) {
        for (double& x : *v)
            x += 0.0;
    }
    return out;
}

EvalReport startReport(OBJ_Node& node, float time) {
    EvalReport report;
    report.node = node.getName();
    report.type = node.getOperator()->getName();
    report.time = time;
    const Orders orders = readOrders(node, time);
    report.transformOrder = menuLabel(node, orders.transformToken, orders.transform);
    report.rotateOrder = menuLabel(node, orders.rotateToken, orders.rotate);
    if (isKeyedNode(node)) {
        report.keys = readActiveKeys(node);
        if (node.findParm(keyed::kInterp))
            report.interp = node.evalInt(keyed::kInterp, 0, keyed::kKeyTime);
        if (node.findParm(keyed::kEase))
            report.ease = node.evalInt(keyed::kEase, 0, keyed::kKeyTime) != 0;
    }
    return report;
}

// Holds component 0 of a parameter ("driverval" for a driver sweep) at
// chosen values for a sweep, and puts it back as it was when the sweep ends.
class ParmOverride {
public:
    ParmOverride(OP_Node& node, int index)
        : node_(node), index_(index), token_(node.getParm(index)->getToken()),
          saved_(node.getParm(index)->component(0)) {
        if (saved_.isAnimated())
            node_.setKeyframes(index_, 0, {});
    }
    ParmOverride(const ParmOverride&) = delete;
    ParmOverride& operator=(const ParmOverride&) = delete;
    ~ParmOverride() {
        // A callback of the swept parameter may have moved it: find it again.
        const int index = node_.findParmIndex(token_);
        if (index >= 0) {
            if (saved_.isAnimated())
                node_.setKeyframes(index, 0, saved_.keys);
            else
                node_.writeValue(index, 0, 0.0f, saved_.constant);
        }
        node_.refreshEnableStates();
    }

    void set(float time, double value) {
        if (!node_.setParmByUser(token_.c_str(), 0, time, value))
            throw RunError(describeNode(node_) + ": the host refused to set " + quote(token_));
    }

private:
    OP_Node& node_;
    int index_;
    std::string token_;
    PRM_Component saved_;
};

std::optional<int> keyAt(const std::vector<KeyMark>& keys, double driver) {
    for (const KeyMark& mark : keys) {
        if (std::abs(mark.driver - driver) <= 1e-9 * std::max(1.0, std::abs(driver)))
            return mark.key;
    }
    return std::nullopt;
}

} // namespace

CookResult cookNode(OBJ_Node& node, float time) {
    OP_Context context(time);
    CookResult row;
    row.time = time;
    row.severity = static_cast<int>(node.cook(context));
    row.xformResult = node.getLastXformResult();
    row.local = toArray(node.getLocalTransform());
    row.world = toArray(node.getWorldTransform());
    row.pose = decompose(node, node.getLocalTransform(), time);
    row.messages = node.getErrors();
    if (node.findParm(keyed::kDriver))
        row.driver = node.evalFloat(keyed::kDriver, 0, time);
    return row;
}

void prefetchAhead(std::span<OBJ_Node* const> nodes, std::size_t i) {
    if (i + 2 * kCookAhead < nodes.size())
        OP_CookHints::prefetchNode(*nodes[i + 2 * kCookAhead]);
    if (i + kCookAhead < nodes.size())
        OP_CookHints::prefetchForCook(*nodes[i + kCookAhead]);
}

OP_ERROR cookAll(std::span<OBJ_Node* const> nodes, float time) {
    OP_ERROR worst = UT_ERROR_NONE;
    OP_CookRun run(time);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        prefetchAhead(nodes, i);
        worst = std::max(worst, run.cook(*nodes[i]));
    }
    return worst;
}

EvalReport evaluateAt(OBJ_Node& node, float time) {
    EvalReport report = startReport(node, time);
    CookResult row = cookNode(node, time);
    if (row.driver)
        row.key = keyAt(report.keys, *row.driver);
    report.rows.push_back(std::move(row));
    return report;
}

EvalReport sweepDriver(OBJ_Node& node, float time, const SweepRange& range,
                       const Interrupt& interrupt) {
    return sweepParm(node, time, range, keyed::kDriver, interrupt);
}

EvalReport sweepParm(OBJ_Node& node, float time, const SweepRange& range, std::string_view token,
                     const Interrupt& interrupt) {
    return sweepParmValues(node, time, range.values(), token, interrupt);
}

EvalReport sweepTime(OBJ_Node& node, const SweepRange& times, const Interrupt& interrupt) {
    const std::vector<double> values = times.values();
    std::vector<float> seconds;
    for (const double t : values)
        seconds.push_back(secondsFrom(t, "--time"));
    EvalReport report = startReport(node, seconds.front());
    report.sweep = EvalReport::Sweep::Time;
    for (const float t : seconds) {
        if (interrupt)
            interrupt();
        CookResult row = cookNode(node, t);
        if (row.driver)
            row.key = keyAt(report.keys, *row.driver);
        report.rows.push_back(std::move(row));
    }
    return report;
}

EvalReport sweepParmValues(OBJ_Node& node, float time, const std::vector<double>& values,
                           std::string_view token, const Interrupt& interrupt) {
    const int index = requireParm(node, token);
    const PRM_Parm& parm = *node.getParm(index);
    if (!parm.getType().isFloat() || parm.isMultiParm())
        throw InputError("parameter " + quote(token) + " of " + describeNode(node) +
                         " is not a number parameter to sweep (a " + parm.getType().describe() +
                         ")");
    EvalReport report = startReport(node, time);
    report.sweep = EvalReport::Sweep::Driver;
    ParmOverride swept(node, index);
    const bool driver = token == keyed::kDriver;
    for (const double value : values) {
        if (interrupt)
            interrupt();
        swept.set(time, value);
        CookResult row = cookNode(node, time);
        row.driver = value;
        row.key = driver ? keyAt(report.keys, value) : std::nullopt;
        report.rows.push_back(std::move(row));
    }
    return report;
}

SweepRange SweepRange::checked(double from, double to, long long steps) {
    if (!std::isfinite(from) || !std::isfinite(to))
        throw InputError("a sweep goes between finite numbers");
    if (steps < 1 || steps > kMaxSteps)
        throw InputError("a sweep takes a whole number of steps from 1 to " +
                         std::to_string(kMaxSteps) + ", not " + std::to_string(steps));
    return {from, to, static_cast<int>(steps)};
}

} // namespace mhost
