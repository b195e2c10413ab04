// The host's built-in defaults and order menus.
#include "PRM/PRM_Shared.h"


PRM_Default PRMzeroDefaults[PRM_SHARED_DEFAULT_COUNT] = {
    PRM_Default(0), PRM_Default(0), PRM_Default(0), PRM_Default(0), PRM_Default(0), PRM_Default(0),
    PRM_Default(0), PRM_Default(0), PRM_Default(0), PRM_Default(0), PRM_Default(0), PRM_Default(0),
    PRM_Default(0), PRM_Default(0), PRM_Default(0), PRM_Default(0)};

PRM_Default PRMoneDefaults[PRM_SHARED_DEFAULT_COUNT] = {
    PRM_Default(1), PRM_Default(1), PRM_Default(1), PRM_Default(1), PRM_Default(1), PRM_Default(1),
    PRM_Default(1), PRM_Default(1), PRM_Default(1), PRM_Default(1), PRM_Default(1), PRM_Default(1),
    PRM_Default(1), PRM_Default(1), PRM_Default(1), PRM_Default(1)};

namespace {
// Index x names UT_XformOrder::rstOrder 5 - x.
PRM_Name trsNames[] = {
    PRM_Name("srt", "Scale Rot Trans"), PRM_Name("str", "Scale Trans Rot"),
    PRM_Name("rst", "Rot Scale Trans"), PRM_Name("rts", "Rot Trans Scale"),
    PRM_Name("tsr", "Trans Scale Rot"), PRM_Name("trs", "Trans Rot Scale"), PRM_Name()};
// Index r names UT_XformOrder::xyzOrder r.
PRM_Name xyzNames[] = {PRM_Name("xyz", "Rx Ry Rz"), PRM_Name("xzy", "Rx Rz Ry"),
                       PRM_Name("yxz", "Ry Rx Rz"), PRM_Name("yzx", "Ry Rz Rx"),
                       PRM_Name("zxy", "Rz Rx Ry"), PRM_Name("zyx", "Rz Ry Rx"), PRM_Name()};
} // namespace

const PRM_ChoiceList PRMtrsMenu(PRM_CHOICELIST_EXCLUSIVE_SINGLE,
                          trsNames);
const PRM_ChoiceList PRMxyzMenu(PRM_CHOICELIST_EXCLUSIVE_SINGLE,
                          xyzNames);
