#include "validate/check_support.hpp"

#include "support/text.hpp"

#include <algorithm>
#include <cmath>
#include <set>

namespace mhost::validation {

namespace {

bool finite(const UT_DMatrix4& m) {
    return std::all_of(m.data(), m.data() + 16, [](double v) { return std::isfinite(v); });
}

std::string errorsOf(const OP_Node& node) {
    std::string text;
    for (const OP_ErrorEntry& e : node.getErrors())
        if (e.severity > UT_ERROR_WARNING)
            text += (text.empty() ? "" : "; ") + quote(e.message) + " (severity " +
                    std::to_string(e.severity) + ")";
    return text;
}

} // namespace

std::string typeName(const OP_Operator& type) {
    return "type " + quote(type.getName());
}

[[noreturn]] void fail(const std::string& message) {
    throw CheckFailed(message);
}

OBJ_Node& object(const OP_Operator& type, OP_Node& node) {
    if (OBJ_Node* obj = node.castToOBJNode())
        return *obj;
    fail(typeName(type) + ": its nodes are not objects (OBJ_Node)");
}

// What went wrong with a cook, or "" when nothing did: an error above a
// warning, or a matrix that is not finite.
std::string cookProblem(OBJ_Node& node, float time) {
    OP_Context context(time);
    node.cook(context);
    if (node.error() > UT_ERROR_WARNING)
        return "the cook at time " + formatShortest(time) + " gives " + errorsOf(node);
    if (!finite(node.getLocalTransform()) || !finite(node.getWorldTransform()))
        return "the cook at time " + formatShortest(time) + " gives a matrix that is not finite";
    return "";
}

std::string describe(const Edit& e, const OP_Node& node) {
    const PRM_Parm* parm = node.findParm(e.token);
    const bool vector = parm && parm->getVectorSize() > 1;
    return "parameter " + quote(e.token) +
           (vector ? " component " + std::to_string(e.component) : "") + " = " +
           formatShortest(e.value);
}

std::string describe(const std::vector<Edit>& edits, const OP_Node& node) {
    std::string text;
    const std::size_t shown = std::min<std::size_t>(edits.size(), 12);
    for (std::size_t i = 0; i < shown; ++i)
        text += (i ? ", " : "") + describe(edits[i], node);
    if (shown < edits.size())
        text += " and " + std::to_string(edits.size() - shown) + " more";
    return text;
}

void applyEdits(OP_Node& node, const Edit& e) {
    const int index = node.findParmIndex(e.token);
    if (index < 0)
        return;
    if (e.count)
        node.setMultiCount(index, static_cast<int>(e.value));
    else
        node.writeValue(index, e.component, 0.0f, e.value);
}

void applyEdits(OP_Node& node, const std::vector<Edit>& edits) {
    for (const Edit& e : edits)
        applyEdits(node, e);
}

// A value in the parameter's range, or a few units either side of 0 when
// it has none; whole menu indices, toggles 0 or 1.
double randomValue(const PRM_Template& t, std::mt19937_64& random) {
    const PRM_Type type = t.getType();
    if (type.isToggle())
        return static_cast<double>(random() % 2);
    if (type.isOrdinal() && t.getChoiceListPtr()) {
        const int items = t.getChoiceListPtr()->getCount();
        return items > 0 ? static_cast<double>(random() % static_cast<unsigned>(items)) : 0.0;
    }
    double low = -10.0, high = 10.0;
    if (const PRM_Range* range = t.getRangePtr()) {
        low = range->getMin();
        high = range->getMax();
        if (!(low < high) || !std::isfinite(high - low)) {
            low = std::isfinite(low) ? low - 1.0 : -10.0;
            high = low + 2.0;
        }
    }
    const double value = std::uniform_real_distribution<double>(low, high)(random);
    return type.isOrdinal() ? std::round(value) : value;
}

// Random instance counts for every multi-parameter (lists that new
// instances bring included), then random values for every number component.
std::vector<Edit> randomize(OP_Node& node, std::mt19937_64& random) {
    std::vector<Edit> edits;
    std::set<std::string> counted;
    for (bool more = true; more;) {
        more = false;
        for (int i = 0; i < node.getParmCount(); ++i) {
            const PRM_Parm& parm = *node.getParm(i);
            if (!parm.isMultiParm() || !counted.insert(parm.getToken()).second)
                continue;
            const int count = static_cast<int>(random() % (kMaxRandomInstances + 1));
            edits.push_back({parm.getToken(), 0, static_cast<double>(count), true});
            applyEdits(node, edits.back());
            more = true;
            break; // indices moved
        }
    }
    for (int i = 0; i < node.getParmCount(); ++i) {
        const PRM_Parm& parm = *node.getParm(i);
        const PRM_Type type = parm.getType();
        if (parm.isMultiParm() || !type.holdsValue() || type.isString())
            continue;
        for (int c = 0; c < parm.getVectorSize(); ++c) {
            edits.push_back({parm.getToken(), c, randomValue(parm.getTemplate(), random), false});
            applyEdits(node, edits.back());
        }
    }
    return edits;
}

// After a randomized cook failed: the single edit that fails on its own,
// named, or all of them.
std::string culprit(Bench& bench, const OP_Operator& type, const std::vector<Edit>& edits,
                    float time, const OP_Node& failed) {
    std::vector<Edit> counts;
    for (const Edit& e : edits)
        if (e.count)
            counts.push_back(e);
    for (const Edit& e : edits) {
        if (e.count)
            continue;
        OP_Node& node = bench.make(type);
        applyEdits(node, counts);
        applyEdits(node, e);
        const bool fails = !cookProblem(object(type, node), time).empty();
        bench.destroy(node);
        if (fails)
            return describe(e, failed) +
                   (counts.empty() ? "" : " (with the instance counts below)");
    }
    return "together: " + describe(edits, failed);
}

float randomTime(std::mt19937_64& random) {
    return static_cast<float>(std::uniform_real_distribution<double>(-10.0, 10.0)(random));
}

} // namespace mhost::validation
