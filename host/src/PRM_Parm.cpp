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
    std::vector<UT_Keyframe>& list = keys.edit();
    auto it = std::lower_bound(list.begin(), list.end(), t,
                               [](const UT_Keyframe& k, float time) { return k.time < time; });
    if (it != list.end() && it->time == t)
        it->value = v;
    else
        list.insert(it, UT_Keyframe{t, v});
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

PRM_KeyList& PRM_KeyList::operator=(List keys) {
    if (keys.empty()) {
        clear();
        return *this;
    }
    edit() = std::move(keys);
    return *this;
}

PRM_KeyList::List& PRM_KeyList::edit() {
    if (!myExtra)
        myExtra = std::make_unique<Extra>();
    return myExtra->keys;
}

void PRM_KeyList::clear() {
    if (myExtra) {
        myExtra->keys.clear();
        dropIfEmpty();
    }
}

void PRM_KeyList::dropIfEmpty() {
    if (myExtra->keys.empty() && myExtra->text.empty())
        myExtra.reset();
}

const PRM_KeyList::List& PRM_KeyList::noKeys() {
    static const List empty;
    return empty;
}

const std::string& PRM_Component::text() const {
    static const std::string none;
    return keys.myExtra ? keys.myExtra->text : none;
}

void PRM_Component::setText(std::string newText) {
    if (newText.empty() && !keys.myExtra)
        return;
    if (!keys.myExtra)
        keys.myExtra = std::make_unique<PRM_KeyList::Extra>();
    keys.myExtra->text = std::move(newText);
    keys.dropIfEmpty();
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

PRM_Name numberedName(const PRM_Template* member, const std::vector<int>& path) {
    const std::string token = substituteInstances(member->getToken(), path);
    const std::string label = substituteInstances(member->getLabel(), path);
    PRM_Name name(token.c_str(), member->getLabel() ? label.c_str() : nullptr,
                  member->getNamePtr() ? member->getNamePtr()->getFlags() : 0);
    name.harden();
    return name;
}

const std::vector<int>& noPath() {
    static const std::vector<int> empty;
    return empty;
}
} // namespace

void PRM_InstanceTemplate::make(const PRM_Template* member, std::vector<int> instancePath) {
    source = member;
    path = std::move(instancePath);
    name = numberedName(member, path);
    // The member under the numbered name; a nested list keeps its members
    // and kind.
    tmpl = *member;
    tmpl.setNamePtr(&name);
}

PRM_Parm::PRM_Parm(const PRM_Template* tmpl, int multiOwner)
    : myDescriptor(reinterpret_cast<std::uintptr_t>(tmpl)), myMultiOwner(multiOwner),
      myCount(static_cast<std::uint16_t>(componentCount(*tmpl))) {}

PRM_Parm::PRM_Parm(const PRM_InstanceTemplate* instance, int multiOwner)
    : myDescriptor(reinterpret_cast<std::uintptr_t>(instance) | 1u), myMultiOwner(multiOwner),
      myCount(static_cast<std::uint16_t>(componentCount(instance->tmpl))) {}

int PRM_Parm::componentCount(const PRM_Template& tmpl) {
    return tmpl.isMultiParm() ? 1 : std::clamp(tmpl.getVectorSize(), 1, 0xFFFF);
}

const char* PRM_Parm::getToken() const {
    const char* token = getTemplate().getToken();
    return token ? token : "";
}

const char* PRM_Parm::getLabel() const {
    const char* label = getTemplate().getLabel();
    return label ? label : getToken();
}

const std::vector<int>& PRM_Parm::getInstancePath() const {
    return isInstance() ? instanceRecord()->path : noPath();
}

bool PRM_Parm::setEnabled(bool on) {
    if (myEnabled == on)
        return false;
    myEnabled = on;
    return true;
}

bool PRM_Parm::isAnimated() const {
    return std::any_of(myComponents, myComponents + myCount,
                       [](const PRM_Component& c) { return c.isAnimated(); });
}

void PRM_Parm::revertToDefaults() {
    const PRM_Default* defaults = getTemplate().getFactoryDefaults();
    PRM_Type type = getType();
    for (std::size_t i = 0; i < myCount; ++i) {
        PRM_Component& c = myComponents[i];
        c.keys = PRM_KeyList();
        c.constant = 0.0;
        // A switcher's defaults describe its folders, not a value: it holds
        // the index of the open folder, 0.
        if (!defaults || type.isSwitcher())
            continue;
        c.constant = defaults[i].getFloat();
        if (type.isString() && defaults[i].getString())
            c.setText(defaults[i].getString());
    }
}
