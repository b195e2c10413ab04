// PRM_Parm: one parameter of one node, as the host stores it.
//
// A parameter is created from a template and holds one component per vector
// entry. Each component is either a constant or a channel of keyframes
// (time, value): linear between keys, held at the first and last key's value
// beyond the ends. String parameters hold text instead and are never
// keyframed. A parameter also keeps its enabled state and, from its
// template, whether it is visible.
//
// Parameters of a multi-parameter instance are made from a copy of their
// member template whose token and label carry the instance number in place
// of "#" ("getkey#" of instance 3 becomes "getkey3"); that copy is the
// template a callback receives. In a list nested in another list's
// instances, member tokens carry one "#" per level, replaced left to right
// by the outer instance number first: "y#_#" of inner instance 3 in outer
// instance 2 is "y2_3". The copies are the node type's (one for every
// member and instance, shared by all its nodes; see PRM_InstanceTemplate).
//
// Size. Nodes hold many parameters, and scenes many nodes: a parameter is
// three words, its components live in one array of the node's, and a
// component is two words, its keyframes and text stored separately only
// when it has any.
#pragma once

#include "PRM_Name.h"
#include "PRM_Template.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct UT_Keyframe {
    float time; // seconds
    double value;
    bool operator==(const UT_Keyframe& o) const { return time == o.time && value == o.value; }
};

// A component's keyframes, sorted by time with unique times, and the text
// of a string component: what a component holds besides its constant,
// allocated separately only when present.
class PRM_KeyList {
public:
    using List = std::vector<UT_Keyframe>;

    PRM_KeyList() = default;
    PRM_KeyList(const PRM_KeyList& other) { *this = other; }
    PRM_KeyList(PRM_KeyList&&) noexcept = default;
    PRM_KeyList& operator=(const PRM_KeyList& other) {
        myExtra = other.myExtra ? std::make_unique<Extra>(*other.myExtra) : nullptr;
        return *this;
    }
    PRM_KeyList& operator=(PRM_KeyList&&) noexcept = default;
    // Replaces the keys (the text stays).
    PRM_KeyList& operator=(List keys);

    bool empty() const { return !myExtra || myExtra->keys.empty(); }
    // True when the component holds neither keys nor text: a plain constant.
    bool holdsNothing() const { return !myExtra; }
    std::size_t size() const { return myExtra ? myExtra->keys.size() : 0; }
    const UT_Keyframe& operator[](std::size_t i) const { return myExtra->keys[i]; }
    const UT_Keyframe& front() const { return myExtra->keys.front(); }
    const UT_Keyframe& back() const { return myExtra->keys.back(); }
    const UT_Keyframe* begin() const { return myExtra ? myExtra->keys.data() : nullptr; }
    const UT_Keyframe* end() const { return begin() + size(); }
    // The keys as a list (empty for a constant).
    const List& list() const { return myExtra ? myExtra->keys : noKeys(); }
    operator const List&() const { return list(); }
    // The list to change in place.
    List& edit();
    // Drops every key.
    void clear();

private:
    friend struct PRM_Component;
    struct Extra {
        List keys;
        std::string text;
    };
    static const List& noKeys();
    void dropIfEmpty();

    std::unique_ptr<Extra> myExtra;
};

struct PRM_Component {
    double constant = 0.0; // the value while there are no keys
    PRM_KeyList keys;      // sorted by time, times unique

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

    // The text of a string component ("" for any other).
    const std::string& text() const;
    void setText(std::string text);
};

// A member template of a multi-parameter as one instance of it: the member
// renamed with the instance numbers. The node type makes one for every
// member and instance in use and keeps it for its own lifetime
// (OP_Operator::instanceTemplate); every node of the type shares it.
struct PRM_InstanceTemplate {
    PRM_InstanceTemplate() = default;
    PRM_InstanceTemplate(const PRM_InstanceTemplate&) = delete;
    PRM_InstanceTemplate& operator=(const PRM_InstanceTemplate&) = delete;
    // Becomes `member` at `instancePath` (instance numbers, outermost first).
    void make(const PRM_Template* member, std::vector<int> instancePath);

    const PRM_Template* source = nullptr; // the member template
    std::vector<int> path;                // instance numbers, outermost first
    PRM_Name name;                        // token and label with the numbers, owned
    PRM_Template tmpl;                    // the member under that name
};

class PRM_Parm {
public:
    // A parameter made from tmpl (outside multi-parameters) or from an
    // instance template (inside one). Its components are given to it by the
    // node that holds it (see OP_Parameters), and are then its own.
    PRM_Parm(const PRM_Template* tmpl, int multiOwner);
    PRM_Parm(const PRM_InstanceTemplate* instance, int multiOwner);

    // The template a callback receives (the instance copy for instances).
    const PRM_Template& getTemplate() const {
        return isInstance() ? instanceRecord()->tmpl : *templatePtr();
    }
    // The member template this parameter was made from (for instances), or
    // its own template.
    const PRM_Template& getSourceTemplate() const {
        return isInstance() ? *instanceRecord()->source : *templatePtr();
    }
    const char* getToken() const;
    std::string_view getTokenView() const { return getToken(); }
    // The label, or the token when the template has none.
    const char* getLabel() const;
    PRM_Type getType() const { return getTemplate().getType(); }
    int getVectorSize() const { return myCount; }
    // Multi-parameter instance number; 0 outside multi-parameters.
    int getInstance() const { return isInstance() ? instanceRecord()->path.back() : 0; }
    // The instance numbers of every list the parameter sits in, outermost
    // first; empty outside multi-parameters.
    const std::vector<int>& getInstancePath() const;
    // Index of the owning multi-parameter in the node's list, or -1.
    int getMultiOwner() const { return myMultiOwner; }
    bool isMultiParm() const { return getTemplate().isMultiParm(); }

    bool isEnabled() const { return myEnabled; }
    // Returns true when the state changed.
    bool setEnabled(bool on);
    bool isVisible() const { return !getType().isInvisible(); }

    PRM_Component& component(int i) { return myComponents[i]; }
    const PRM_Component& component(int i) const { return myComponents[i]; }
    // True when any component has keyframes.
    bool isAnimated() const;

    // Restores every component to the template's defaults.
    void revertToDefaults();

    void setMultiOwner(int index) { myMultiOwner = index; }

    // The number of components a parameter of this template holds.
    static int componentCount(const PRM_Template& tmpl);

private:
    friend class OP_Parameters;

    // One word says which template the parameter has: a plain template, or
    // an instance record (low bit set).
    bool isInstance() const { return (myDescriptor & 1u) != 0; }
    const PRM_Template* templatePtr() const {
        return reinterpret_cast<const PRM_Template*>(myDescriptor);
    }
    const PRM_InstanceTemplate* instanceRecord() const {
        return reinterpret_cast<const PRM_InstanceTemplate*>(myDescriptor & ~std::uintptr_t(1));
    }

    std::uintptr_t myDescriptor;
    PRM_Component* myComponents = nullptr; // in the node's component array
    int myMultiOwner;
    std::uint16_t myCount;
    bool myEnabled = true;
};
