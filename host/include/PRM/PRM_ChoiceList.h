// PRM_ChoiceList: the menu of an ordinal or string parameter.
//
// The items are an array of PRM_Name ending in a name with a null token; an
// ordinal parameter stores the index of the chosen item.
#pragma once

#include "PRM_Name.h"

// Menu type: a combination of the bits below.
enum PRM_ChoiceListType {
    PRM_CHOICELIST_SINGLE = 0x0001,    // one item is chosen at a time
    PRM_CHOICELIST_TOGGLE = 0x0002,    // items are switched on and off
    PRM_CHOICELIST_REPLACE = 0x0004,   // choosing replaces a string value
    PRM_CHOICELIST_EXCLUSIVE = 0x1000, // the value is always one of the items
    // 0x1001, the ordinary menu of an ordinal parameter: it holds exactly
    // one item, chosen from the list.
    PRM_CHOICELIST_EXCLUSIVE_SINGLE = PRM_CHOICELIST_EXCLUSIVE | PRM_CHOICELIST_SINGLE,
};

class PRM_ChoiceList {
public:
    PRM_ChoiceList(PRM_ChoiceListType type, PRM_Name* items) : myType(type), myItems(items) {}
    PRM_ChoiceList(int type, PRM_Name* items)
        : myType(static_cast<PRM_ChoiceListType>(type)), myItems(items) {}

    PRM_ChoiceListType getType() const { return myType; }
    // The items, ending with a name whose token is null.
    const PRM_Name* getChoiceNames() const { return myItems; }
    // Number of items before the ending name.
    int getCount() const;
    // Item i, or nullptr when i is out of range.
    const PRM_Name* getItem(int i) const;

private:
    PRM_ChoiceListType myType;
    PRM_Name* myItems;
};
