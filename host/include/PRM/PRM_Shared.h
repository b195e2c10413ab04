// Built-in defaults and menus that every node type may point its templates at.
#pragma once

#include "PRM_ChoiceList.h"
#include "PRM_Default.h"

// Number of entries in each built-in default array: enough for any vector
// parameter the host shows.
inline constexpr int PRM_SHARED_DEFAULT_COUNT = 16;

// Every component 0.
extern PRM_Default PRMzeroDefaults[PRM_SHARED_DEFAULT_COUNT];
// Every component 1.
extern PRM_Default PRMoneDefaults[PRM_SHARED_DEFAULT_COUNT];

// Transform-order menu: index x names UT_XformOrder::rstOrder 5 - x
// ("Scale Rot Trans" first). See UT/UT_Math.h.
extern const PRM_ChoiceList PRMtrsMenu;
// Rotate-order menu: index r names UT_XformOrder::xyzOrder r ("Rx Ry Rz"
// first). See UT/UT_Math.h.
extern const PRM_ChoiceList PRMxyzMenu;
