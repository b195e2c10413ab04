#include "PRM/PRM_Parm.h"

#include <algorithm>
#include <string>

double PRM_Component::channelAt(float t) const {
    if (t <= keys.front().time)
        return keys.front().value;
    if (t >= keys.back().time)
        return keys.back().value;
    // First key strictly after t; the one before it is at or before t.
    auto hi = std::upper_bound(keys.begin(), keys.end(), t,
                               [](float time, const UT_Keyframe& k) { return time < k.time; });
    auto lo = hi - 1;
    double span = double(hi->time) - double(lo->time);
    double u = (double(t) - double(lo->time)) / span;
    return lo->value + u * (hi->value - lo->value);
}

void PRM_Component::setAt(float t, double v) {
    if (keys.empty()) {
        constant = v;
        return;
    }
    auto it = std::lower_bound(keys.begin(), keys.end(), t,
                               [](const UT_Keyframe& k, float time) { return k.time < time; });
    if (it != keys.end() && it->time == t)
        it->value = v;
    else
        keys.insert(it, UT_Keyframe{t, v});
}

void PRM_Component::setKeys(std::vector<UT_Keyframe> newKeys) {
    if (newKeys.empty()) {
        constant = valueAt(0.0f);
        keys.clear();
        return;
    }
    std::stable_sort(newKeys.begin(), newKeys.end(),
                     [](const UT_Keyframe& a, const UT_Keyframe& b) { return a.time < b.time; });
    // Of several keys at one time the last one given wins.
    std::vector<UT_Keyframe> unique;
    for (const UT_Keyframe& k : newKeys) {
        if (!unique.empty() && unique.back().time == k.time)
            unique.back() = k;
        else
            unique.push_back(k);
    }
    keys = std::move(unique);
}

namespace {
// Replaces the "#"s in text, left to right, by the numbers of path; any
// beyond the path stay.
std::string substituteInstances(const char* text, const std::vector<int>& path) {
    std::string out;
    if (!text)
        return out;
    std::size_t used = 0;
    for (const char* c = text; *c; ++c) {
        if (*c == '#' && used < path.size())
            out += std::to_string(path[used++]);
        else
            out += *c;
    }
    return out;
}
} // namespace

PRM_Parm::PRM_Parm(const PRM_Template* tmpl, std::vector<int> instancePath, int multiOwner)
    : mySource(tmpl), myTemplate(tmpl), myPath(std::move(instancePath)), myMultiOwner(multiOwner) {
    if (!myPath.empty()) {
        myToken = substituteInstances(tmpl->getToken(), myPath);
        myLabel = substituteInstances(tmpl->getLabel(), myPath);
        myOwnName = std::make_unique<PRM_Name>(myToken.c_str(), myLabel.c_str(),
                                               tmpl->getNamePtr() ? tmpl->getNamePtr()->getFlags()
                                                                  : 0);
        myOwnName->harden();
        // The member template under the numbered name; a nested list keeps
        // its members and kind.
        myOwnTemplate = std::make_unique<PRM_Template>(*tmpl);
        myOwnTemplate->setNamePtr(myOwnName.get());
        myTemplate = myOwnTemplate.get();
    } else {
        myToken = tmpl->getToken() ? tmpl->getToken() : "";
        myLabel = tmpl->getLabel() ? tmpl->getLabel() : myToken;
    }
    myComponents.resize(tmpl->isMultiParm() ? 1 : std::max(1, tmpl->getVectorSize()));
    revertToDefaults();
}

bool PRM_Parm::setEnabled(bool on) {
    if (myEnabled == on)
        return false;
    myEnabled = on;
    return true;
}

bool PRM_Parm::isAnimated() const {
    return std::any_of(myComponents.begin(), myComponents.end(),
                       [](const PRM_Component& c) { return c.isAnimated(); });
}

void PRM_Parm::revertToDefaults() {
    const PRM_Default* defaults = myTemplate->getFactoryDefaults();
    PRM_Type type = myTemplate->getType();
    for (std::size_t i = 0; i < myComponents.size(); ++i) {
        PRM_Component& c = myComponents[i];
        c.keys.clear();
        c.text.clear();
        c.constant = 0.0;
        // A switcher's defaults describe its folders, not a value: it holds
        // the index of the open folder, 0.
        if (!defaults || type.isSwitcher())
            continue;
        c.constant = defaults[i].getFloat();
        if (type.isString() && defaults[i].getString())
            c.text = defaults[i].getString();
    }
}
