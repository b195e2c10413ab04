#include "PRM/PRM_Template.h"

PRM_Template::PRM_Template() : myType(PRM_LIST_TERMINATOR) {}

PRM_Template::PRM_Template(PRM_Type type, int vectorSize, PRM_Name* name, PRM_Default* defaults,
                           const PRM_ChoiceList* choices, PRM_Range* range, PRM_Callback callback,
                           PRM_SpareData* spare, int parmGroup, const char* helpText,
                           PRM_DisableList* disables) {
    initialize(type, PRM_TYPE_TOP, PRM_EXPORT_NONE, vectorSize, name, defaults, choices, range,
               callback, spare, parmGroup, helpText, disables);
}

PRM_Template::PRM_Template(PRM_MultiType multiType, PRM_Template* members, float visibleCount,
                           PRM_Name* name, PRM_Default* defaults, PRM_Range* range,
                           PRM_SpareData* spare, const char* helpText, PRM_DisableList* disables)
    : myType(PRM_INT), myName(name), myDefaults(defaults), myRange(range), mySpare(spare),
      myHelpText(helpText), myDisables(disables), myMultiType(multiType), myMembers(members),
      myVisibleCount(visibleCount) {}

void PRM_Template::initialize(PRM_Type type, PRM_TypeExtended typeExtended,
                              PRM_Export exportLevel, int vectorSize, PRM_Name* name,
                              PRM_Default* defaults, const PRM_ChoiceList* choices, PRM_Range* range,
                              PRM_Callback callback, PRM_SpareData* spare, int parmGroup,
                              const char* helpText, PRM_DisableList* disables) {
    myType = type;
    myTypeExtended = typeExtended;
    myExportLevel = exportLevel;
    myVectorSize = vectorSize < 1 ? 1 : vectorSize;
    myName = name;
    myDefaults = defaults;
    myChoices = choices;
    myRange = range;
    myCallback = callback;
    mySpare = spare;
    myParmGroup = parmGroup;
    myHelpText = helpText;
    myDisables = disables;
    myMultiType = PRM_MULTITYPE_NONE;
    myMembers = nullptr;
    myVisibleCount = 0.0f;
}

int PRM_Template::countTemplates(const PRM_Template* list, bool skipInvisible,
                                 bool skipSeparators, bool skipButtons) {
    int n = 0;
    if (!list)
        return 0;
    for (const PRM_Template* t = list; !t->isTerminator(); ++t) {
        PRM_Type type = t->getType();
        if ((skipInvisible && type.isInvisible()) || (skipSeparators && type.isSeparator()) ||
            (skipButtons && type.isButton()))
            continue;
        ++n;
    }
    return n;
}

const char* PRM_Template::getToken() const { return myName ? myName->getToken() : nullptr; }
const char* PRM_Template::getLabel() const { return myName ? myName->getLabel() : nullptr; }
