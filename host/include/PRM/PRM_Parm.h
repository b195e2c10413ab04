// PRM_Parm: one parameter of one node, as the host stores it.
//
// A parameter is created from a template and holds one component per vector
// entry. Each component is either a constant or a channel of keyframes
// (time, value): linear between keys, held at the first and last key's value
// beyond the ends. String parameters hold text instead and are never
// keyframed. A parameter also keeps its enabled state and, from its
// template, whether it is visible.
//
// Parameters of a multi-parameter instance own a copy of their member
// template whose token and label carry the instance number in place of "#"
// ("getkey#" of instance 3 becomes "getkey3"); that copy is the template a
// callback receives. In a list nested in another list's instances, member
// tokens carry one "#" per level, replaced left to right by the outer
// instance number first: "y#_#" of inner instance 3 in outer instance 2 is
// "y2_3".
#pragma once

#include "PRM_Template.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct UT_Keyframe {
    float time;   // seconds
    double value;
    bool operator==(const UT_Keyframe& o) const { return time == o.time && value == o.value; }
};

struct PRM_Component {
    double constant = 0.0;         // the value while there are no keys
    std::vector<UT_Keyframe> keys; // sorted by time, times unique
    std::string text;              // the value of a string component

    bool isAnimated() const { return !keys.empty(); }
    // The value at time t.
    double valueAt(float t) const { return keys.empty() ? constant : channelAt(t); }
    // The channel's value at t; keys must not be empty.
    double channelAt(float t) const;
    // Sets the value at t: the key at t (added when missing) when the
    // component is animated, the constant otherwise.
    void setAt(float t, double v);
    // Replaces the channel; an empty list makes the component a constant
    // holding the channel's value at time 0.
    void setKeys(std::vector<UT_Keyframe> newKeys);
};

class PRM_Parm {
public:
    // tmpl must outlive the parameter. instancePath holds the instance
    // numbers of the lists the parameter sits in, outermost first (empty
    // outside any multi-parameter); when it is not empty the parameter makes
    // its own copy of tmpl with the "#"s replaced by them, left to right,
    // in token and label.
    PRM_Parm(const PRM_Template* tmpl, std::vector<int> instancePath, int multiOwner);
    PRM_Parm(const PRM_Parm&) = delete;
    PRM_Parm& operator=(const PRM_Parm&) = delete;

    // The template a callback receives (the instance copy for instances).
    const PRM_Template& getTemplate() const { return *myTemplate; }
    // The member template this parameter was made from (for instances), or
    // its own template.
    const PRM_Template& getSourceTemplate() const { return *mySource; }
    const char* getToken() const { return myToken.c_str(); }
    std::string_view getTokenView() const { return myToken; }
    const char* getLabel() const { return myLabel.c_str(); }
    PRM_Type getType() const { return myTemplate->getType(); }
    int getVectorSize() const { return static_cast<int>(myComponents.size()); }
    // Multi-parameter instance number; 0 outside multi-parameters.
    int getInstance() const { return myPath.empty() ? 0 : myPath.back(); }
    // The instance numbers of every list the parameter sits in, outermost
    // first; empty outside multi-parameters.
    const std::vector<int>& getInstancePath() const { return myPath; }
    // Index of the owning multi-parameter in the node's list, or -1.
    int getMultiOwner() const { return myMultiOwner; }
    bool isMultiParm() const { return myTemplate->isMultiParm(); }

    bool isEnabled() const { return myEnabled; }
    // Returns true when the state changed.
    bool setEnabled(bool on);
    bool isVisible() const { return !myTemplate->getType().isInvisible(); }

    PRM_Component& component(int i) { return myComponents[i]; }
    const PRM_Component& component(int i) const { return myComponents[i]; }
    // True when any component has keyframes.
    bool isAnimated() const;

    // Restores every component to the template's defaults.
    void revertToDefaults();

    void setMultiOwner(int index) { myMultiOwner = index; }

private:
    const PRM_Template* mySource;
    std::unique_ptr<PRM_Template> myOwnTemplate;
    std::unique_ptr<PRM_Name> myOwnName;
    const PRM_Template* myTemplate;
    std::string myToken;
    std::string myLabel;
    std::vector<int> myPath;
    int myMultiOwner;
    bool myEnabled = true;
    std::vector<PRM_Component> myComponents;
};
