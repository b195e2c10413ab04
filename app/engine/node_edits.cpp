#include "engine/node_edits.hpp"

#include "support/errors.hpp"
#include "support/text.hpp"
#include "json/json.hpp"

#include <PRM/PRM_ChoiceList.h>

#include <algorithm>
#include <cmath>

namespace mhost {

namespace {

// The menu of an ordinal parameter (not a toggle), or nullptr.
const PRM_ChoiceList* menuOf(const PRM_Parm& parm) {
    const PRM_Type type = parm.getType();
    return type.isOrdinal() && !type.isToggle() ? parm.getTemplate().getChoiceListPtr() : nullptr;
}

} // namespace

int menuItemIndex(const OP_Node& node, const PRM_Parm& parm, std::string_view token) {
    const PRM_ChoiceList* menu = menuOf(parm);
    if (menu == nullptr)
        throw InputError(parmName(node, parm) + " takes numbers, not text", FailureKind::Type);
    std::string items;
    for (int i = 0; i < menu->getCount(); ++i) {
        const char* itemToken = menu->getItem(i)->getToken();
        if (token == itemToken)
            return i;
        items += (items.empty() ? "" : ", ") + quote(itemToken) + " (" + std::to_string(i) + ")";
    }
    throw InputError(parmName(node, parm) + " has no menu item " + quote(token) +
                     " (items: " + items + ")");
}

std::vector<std::string> menuTokens(const PRM_Parm& parm) {
    std::vector<std::string> tokens;
    if (const PRM_ChoiceList* menu = menuOf(parm))
        for (int i = 0; i < menu->getCount(); ++i)
            tokens.emplace_back(menu->getItem(i)->getToken());
    return tokens;
}

std::string parmName(const OP_Node& node, const PRM_Parm& parm) {
    return "parameter " + quote(parm.getToken()) + " of " + describeNode(node);
}

const PRM_Parm& valueParm(const OP_Node& node, std::string_view token) {
    const PRM_Parm& parm = *node.getParm(requireParm(node, token));
    if (!parm.isMultiParm() && !parm.getType().holdsValue())
        throw InputError(parmName(node, parm) + " holds no value (a " + parm.getType().describe() +
                         ")");
    return parm;
}

void editParm(OP_Node& node, std::string_view token, std::optional<int> component,
              const std::vector<ParmValue>& values, float time) {
    const PRM_Parm& parm = valueParm(node, token);
    const int first = component.value_or(0);
    if (values.empty())
        throw InputError(parmName(node, parm) + ": no value given");
    const int last = first + static_cast<int>(values.size()) - 1;
    if (first < 0 || last >= parm.getVectorSize())
        throw InputError(parmName(node, parm) + " has " + std::to_string(parm.getVectorSize()) +
                             " component(s); " +
                             (component ? "component " + std::to_string(first) + " is missing"
                                        : std::to_string(values.size()) + " values given"),
                         component ? FailureKind::Index : FailureKind::Type);
    // An edit may add or remove parameters (a count, or what a callback
    // does): copy what the loop needs from the parameter now.
    const std::string tokenText(token);
    const bool text = parm.getType().isString();
    const bool count = parm.isMultiParm();
    const std::string name = parmName(node, parm);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const ParmValue& v = values[i];
        const int c = first + static_cast<int>(i);
        const bool isText = std::holds_alternative<std::string>(v);
        bool done = false;
        if (text) {
            if (!isText)
                throw InputError(name + " takes text, not a number", FailureKind::Type);
            done =
                node.setStringByUser(tokenText.c_str(), c, time, std::get<std::string>(v).c_str());
        } else {
            double number = 0.0;
            if (isText) {
                number = menuItemIndex(node, parm, std::get<std::string>(v));
            } else {
                number = std::get<double>(v);
            }
            if (count) {
                try {
                    number = instanceCountFromJson(Json(number));
                } catch (const Failure& failure) {
                    rethrowWithContext(failure, name + ": ");
                }
            }
            done = node.setParmByUser(tokenText.c_str(), c, time, number);
        }
        if (!done)
            throw RunError("the host refused the edit of " + name);
    }
}

void wireInput(OP_Node& node, int input, OP_Node* from) {
    if (input < 0 || static_cast<unsigned>(input) >= node.nInputs())
        throw InputError(describeNode(node) + " has no input " + std::to_string(input) +
                             " (it has " + std::to_string(node.nInputs()) + ")",
                         FailureKind::Index);
    if (from && from->getParent() != node.getParent())
        throw InputError(describeNode(*from) + " is in another scene than " + describeNode(node));
    if (node.setInput(static_cast<unsigned>(input), from))
        return;
    if (!from)
        throw RunError("the host refused to disconnect input " + std::to_string(input) + " of " +
                       describeNode(node));
    throw InputError("wiring " + quote(from->getName()) + " into input " + std::to_string(input) +
                     " of " + quote(node.getName()) + " would make a cycle");
}

void replaceKeyframes(OP_Node& node, std::string_view token, int component,
                      std::vector<UT_Keyframe> keys) {
    const PRM_Parm& parm = valueParm(node, token);
    if (component < 0 || component >= parm.getVectorSize())
        throw InputError(parmName(node, parm) + " has no component " + std::to_string(component));
    for (const UT_Keyframe& key : keys)
        if (!std::isfinite(key.time))
            throw InputError(parmName(node, parm) + ": a keyframe time must be a finite number");
    std::stable_sort(keys.begin(), keys.end(),
                     [](const UT_Keyframe& a, const UT_Keyframe& b) { return a.time < b.time; });
    for (std::size_t i = 1; i < keys.size(); ++i)
        if (keys[i].time == keys[i - 1].time)
            throw InputError(parmName(node, parm) + ": two keyframes at time " +
                             formatShortest(keys[i].time));
    if (!node.setKeyframes(node.findParmIndex(token), component, std::move(keys)))
        throw InputError(parmName(node, parm) + " cannot be animated");
    node.refreshEnableStates();
}

namespace {

// The components an edit of one component or of all names.
std::pair<int, int> componentsOf(const OP_Node& node, const PRM_Parm& parm,
                                 std::optional<int> component) {
    if (!component)
        return {0, parm.getVectorSize()};
    if (*component < 0 || *component >= parm.getVectorSize())
        throw InputError(parmName(node, parm) + " has no component " + std::to_string(*component));
    return {*component, *component + 1};
}

} // namespace

void keyParm(OP_Node& node, std::string_view token, std::optional<int> component, float time) {
    const PRM_Parm& parm = valueParm(node, token);
    const auto [first, end] = componentsOf(node, parm, component);
    for (int c = first; c < end; ++c) {
        const PRM_Component& values = node.getParm(node.findParmIndex(token))->component(c);
        std::vector<UT_Keyframe> keys = values.keys.list();
        const double value = values.valueAt(time);
        std::erase_if(keys, [&](const UT_Keyframe& k) { return k.time == time; });
        keys.push_back({time, value});
        replaceKeyframes(node, token, c, std::move(keys));
    }
}

void unkeyParm(OP_Node& node, std::string_view token, std::optional<int> component, float time) {
    const PRM_Parm& parm = valueParm(node, token);
    const auto [first, end] = componentsOf(node, parm, component);
    bool any = false;
    for (int c = first; c < end; ++c) {
        std::vector<UT_Keyframe> keys =
            node.getParm(node.findParmIndex(token))->component(c).keys.list();
        if (std::erase_if(keys, [&](const UT_Keyframe& k) { return k.time == time; }) == 0)
            continue;
        any = true;
        replaceKeyframes(node, token, c, std::move(keys));
    }
    if (!any)
        throw InputError(parmName(node, parm) + " has no keyframe at time " + formatShortest(time));
}

std::vector<OP_ErrorEntry> pressButton(OP_Node& node, std::string_view token, float time) {
    const PRM_Parm& parm = *node.getParm(requireParm(node, token));
    if (!parm.getType().isButton())
        throw InputError(parmName(node, parm) + " is not a button (a " + parm.getType().describe() +
                         ")");
    // The list then shows what this press raised. (The press may add or
    // remove parameters: the name is copied first.)
    const std::string name = parmName(node, parm);
    node.clearErrors();
    if (!node.pressButton(std::string(token).c_str(), time))
        throw RunError("the host refused to press " + name);
    return node.getErrors();
}

ParmReading readParm(const OP_Node& node, std::string_view token, float time) {
    const PRM_Parm& parm = *node.getParm(requireParm(node, token));
    ParmReading reading;
    reading.enabled = parm.isEnabled();
    reading.visible = parm.isVisible();
    if (parm.isMultiParm() || parm.getType().holdsValue()) {
        for (int c = 0; c < parm.getVectorSize(); ++c) {
            const PRM_Component& component = parm.component(c);
            if (parm.getType().isString())
                reading.values.emplace_back(component.text());
            else
                reading.values.emplace_back(component.valueAt(time));
        }
    }
    return reading;
}

int instanceCountFromJson(const Json& j) {
    int count = 0;
    if (!jsonToInt(j, count) || count < 0 || count > OP_Parameters::maxMultiInstances)
        throw InputError("an instance count must be a whole number from 0 to " +
                         std::to_string(OP_Parameters::maxMultiInstances) + ", not " + j.dump());
    return count;
}

} // namespace mhost
