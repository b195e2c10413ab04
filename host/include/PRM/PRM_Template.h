// PRM_Template: the description of one parameter of a node type.
//
// A node type describes its parameters with arrays of templates, each array
// ending in a terminator (a default-constructed template). A template is a
// plain record that points at names, defaults, menus and other records owned
// by whoever built it; copying a template copies those pointers.
//
// A multi-parameter template describes a list of instances: its value is the
// instance count N, and each instance 1..N holds one parameter for every
// member template, with "#" in the member tokens replaced by the instance
// number.
#pragma once

#include "PRM_ChoiceList.h"
#include "PRM_Default.h"
#include "PRM_Name.h"
#include "PRM_Range.h"
#include "PRM_SpareData.h"
#include "PRM_Type.h"

class PRM_Template;

// A parameter callback: runs when the user edits the parameter or presses
// the button. data is the node (an OP_Node*), index the parameter's position
// in the node's parameter list, time the edit time in seconds, tplate the
// template of the very parameter edited (for multi-parameter instances its
// token carries the instance number in place of "#"). The result is 1 when
// the interface should refresh, which the stand-in host always does.
// [host thread] During a user edit (after the value is written, before
// refreshEnableStates) or a press; never during plug-in writes. The node
// may be edited from the callback.
using PRM_Callback = int (*)(void* data, int index, float time, const PRM_Template* tplate);

// How far a parameter is exported to the node's tile in the network view.
enum PRM_Export {
    PRM_EXPORT_NONE = 0,
    PRM_EXPORT_MIN = 1,
    PRM_EXPORT_MED = 2,
    PRM_EXPORT_MAX = 3,
};

// Kind of a multi-parameter list.
enum PRM_MultiType {
    PRM_MULTITYPE_NONE = 0,   // an ordinary parameter
    PRM_MULTITYPE_SCROLL = 1, // instances shown in a scrolled area
    PRM_MULTITYPE_LIST = 2,   // instances shown one below the other
};

class PRM_Template {
public:
    // A terminator: ends a template list.
    PRM_Template();

    // An ordinary parameter of vectorSize components. defaults, when given,
    // holds one entry per component; a switcher's holds one per folder.
    PRM_Template(PRM_Type type, int vectorSize, PRM_Name* name, PRM_Default* defaults = nullptr,
                 const PRM_ChoiceList* choices = nullptr, PRM_Range* range = nullptr,
                 PRM_Callback callback = nullptr, PRM_SpareData* spare = nullptr,
                 int parmGroup = 1, const char* helpText = nullptr,
                 PRM_DisableList* disables = nullptr);

    // A multi-parameter: members is the member template list (terminated),
    // visibleCount how many instances are shown before the list scrolls,
    // defaults[0] the initial instance count.
    PRM_Template(PRM_MultiType multiType, PRM_Template* members, float visibleCount,
                 PRM_Name* name, PRM_Default* defaults = nullptr, PRM_Range* range = nullptr,
                 PRM_SpareData* spare = nullptr, const char* helpText = nullptr,
                 PRM_DisableList* disables = nullptr);

    PRM_Template(const PRM_Template&) = default;
    PRM_Template& operator=(const PRM_Template&) = default;

    // Re-initialises every field as an ordinary (non-multi) parameter.
    void initialize(PRM_Type type, PRM_TypeExtended typeExtended, PRM_Export exportLevel,
                    int vectorSize, PRM_Name* name, PRM_Default* defaults,
                    const PRM_ChoiceList* choices, PRM_Range* range, PRM_Callback callback,
                    PRM_SpareData* spare, int parmGroup, const char* helpText,
                    PRM_DisableList* disables);

    // Points the template at another name; everything else stays.
    void setNamePtr(PRM_Name* name) { myName = name; }

    // Number of templates in list before its terminator. With skipInvisible,
    // skipSeparators or skipButtons set, invisible templates, separators and
    // buttons are not counted.
    static int countTemplates(const PRM_Template* list, bool skipInvisible = false,
                              bool skipSeparators = false, bool skipButtons = false);

    PRM_Type getType() const { return myType; }
    PRM_TypeExtended getTypeExtended() const { return myTypeExtended; }
    PRM_Export getExportLevel() const { return myExportLevel; }
    int getVectorSize() const { return myVectorSize; }
    PRM_Name* getNamePtr() const { return myName; }
    // The name's token and label, or nullptr when there is no name.
    const char* getToken() const;
    const char* getLabel() const;
    PRM_Default* getFactoryDefaults() const { return myDefaults; }
    const PRM_ChoiceList* getChoiceListPtr() const { return myChoices; }
    PRM_Range* getRangePtr() const { return myRange; }
    PRM_Callback getCallback() const { return myCallback; }
    PRM_SpareData* getSparePtr() const { return mySpare; }
    int getParmGroup() const { return myParmGroup; }
    const char* getHelpText() const { return myHelpText; }
    PRM_DisableList* getDisableList() const { return myDisables; }

    PRM_MultiType getMultiType() const { return myMultiType; }
    bool isMultiParm() const { return myMultiType != PRM_MULTITYPE_NONE; }
    PRM_Template* getMultiParmTemplate() const { return myMembers; }
    float getMultiVisibleCount() const { return myVisibleCount; }

    bool isTerminator() const { return myType.isTerminator(); }

private:
    PRM_Type myType;
    PRM_TypeExtended myTypeExtended = PRM_TYPE_TOP;
    PRM_Export myExportLevel = PRM_EXPORT_NONE;
    int myVectorSize = 1;
    PRM_Name* myName = nullptr;
    PRM_Default* myDefaults = nullptr;
    const PRM_ChoiceList* myChoices = nullptr;
    PRM_Range* myRange = nullptr;
    PRM_Callback myCallback = nullptr;
    PRM_SpareData* mySpare = nullptr;
    int myParmGroup = 1;
    const char* myHelpText = nullptr;
    PRM_DisableList* myDisables = nullptr;
    PRM_MultiType myMultiType = PRM_MULTITYPE_NONE;
    PRM_Template* myMembers = nullptr;
    float myVisibleCount = 0.0f;
};
