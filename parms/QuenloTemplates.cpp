// The node's own parameter templates. The objects are defined in the order
// they are built at load, each before the templates that refer to it, and go
// away in reverse order at unload.
#include "parms/QuenloTemplates.h"

#include "PRM/PRM_Shared.h"
#include "commands/QuenloCommands.h"
#include "keys/KeyTable.h"
#include "parms/QuenloTokens.h"

namespace quenlo {
namespace {

namespace tok = token;

PRM_Name switcherName(tok::switcher, nullptr, 0);

// One folder, labelled "Quenlo", enclosing the whole own template list.
PRM_Default folderDefault(ownTemplateCount, "Quenlo", CH_StringMeaning(3));

PRM_Name interpNames[] = {
    PRM_Name("euler", "Euler", 0),
    PRM_Name("quat", "Quaternion", 0),
    PRM_Name(nullptr, nullptr, 0),
};

// An exclusive single-choice menu.
PRM_ChoiceList interpMenu(0x1001, interpNames);

enum NameIndex {
    DriverVal,
    NumKeys,
    Enable,
    KeyVal,
    GetKey,
    Translate,
    Rotate,
    Scale,
    Pivot,
    UniformScale,
    Reset,
    PutKey,
    KeyVal0,
    GetKey0,
    Translate0,
    Rotate0,
    Scale0,
    Pivot0,
    UniformScale0,
    Reset0,
    PutKey0,
    Sep0,
    Sep1,
    XOrd,
    ROrd,
    XOrd0,
    ROrd0,
    Interp,
    Ease,
    Sep2,
    NameCount
};

PRM_Name names[NameCount] = {
    PRM_Name(tok::driverVal, "Driver val", 0),
    PRM_Name(tok::numKeys, "Number of key positions", 0),
    PRM_Name(tok::enable, "Enable key", 0),
    PRM_Name(tok::keyVal, "Driver key #", 0),
    PRM_Name(tok::getKey, "Get key #", 0),
    PRM_Name(tok::translate, "Translate", 0),
    PRM_Name(tok::rotate, "Rotate", 0),
    PRM_Name(tok::scale, "Scale", 0),
    PRM_Name(tok::pivot, "Pivot", 0),
    PRM_Name(tok::uniformScale, "Uniform scale", 0),
    PRM_Name(tok::reset, "Reset transform", 0),
    PRM_Name(tok::putKey, "Put key #", 0),
    PRM_Name(tok::keyVal0, "Driver key 0", 0),
    PRM_Name(tok::getKey0, "Get key 0", 0),
    PRM_Name(tok::translate0, "Translate", 0),
    PRM_Name(tok::rotate0, "Rotate", 0),
    PRM_Name(tok::scale0, "Scale", 0),
    PRM_Name(tok::pivot0, "Pivot", 0),
    PRM_Name(tok::uniformScale0, "Uniform scale", 0),
    PRM_Name(tok::reset0, "Reset transform", 0),
    PRM_Name(tok::putKey0, "Put key 0", 0),
    PRM_Name(tok::sep0, "Sep", 0),
    PRM_Name(tok::sep1, "Sep", 0),
    PRM_Name(tok::xOrd, "Transform Order", 0),
    PRM_Name(tok::rOrd, "Rotate Order", 0),
    PRM_Name(tok::xOrd0, "Transform Order", 0),
    PRM_Name(tok::rOrd0, "Rotate Order", 0),
    PRM_Name(tok::interp, "Interp Type", 0),
    PRM_Name(tok::ease, "Ease", 0),
    PRM_Name(tok::sep2, "Sep", 0),
};

// Every key keeps its own orders, but keys are applied in key 0's, so the
// per-key orders are never shown.
constexpr PRM_Type hiddenOrd = typeOr(PRM_ORD, PRM_TYPE_INVISIBLE);

PRM_Template terminator() {
    return PRM_Template(PRM_LIST_TERMINATOR, 1, nullptr);
}

} // namespace

PRM_Template perKeyTemplates[perKeyTemplateCount + 1] = {
    PRM_Template(PRM_TOGGLE, 1, &names[Enable], PRMoneDefaults),
    PRM_Template(PRM_FLT, 1, &names[KeyVal], PRMzeroDefaults, nullptr, nullptr, keyValueCallback),
    PRM_Template(PRM_CALLBACK, 1, &names[GetKey], nullptr, nullptr, nullptr, getKeyCallback),
    PRM_Template(hiddenOrd, 1, &names[XOrd], nullptr, &PRMtrsMenu),
    PRM_Template(hiddenOrd, 1, &names[ROrd], nullptr, &PRMxyzMenu),
    PRM_Template(PRM_FLT, 3, &names[Translate], PRMzeroDefaults),
    PRM_Template(PRM_FLT, 3, &names[Rotate], PRMzeroDefaults),
    PRM_Template(PRM_FLT, 3, &names[Scale], PRMoneDefaults),
    PRM_Template(PRM_FLT, 3, &names[Pivot], PRMzeroDefaults),
    PRM_Template(PRM_FLT, 1, &names[UniformScale], PRMoneDefaults),
    PRM_Template(PRM_CALLBACK, 1, &names[Reset], nullptr, nullptr, nullptr, resetKeyCallback),
    PRM_Template(PRM_CALLBACK, 1, &names[PutKey], nullptr, nullptr, nullptr, putKeyCallback),
    terminator(),
};

PRM_Template switcherTemplates[2] = {
    PRM_Template(PRM_SWITCHER, 1, &switcherName, &folderDefault),
    terminator(),
};

PRM_Template ownTemplates[ownTemplateCount + 1] = {
    PRM_Template(PRM_SEPARATOR, 1, &names[Sep2], PRMzeroDefaults),
    PRM_Template(PRM_ORD, 1, &names[Interp], nullptr, &interpMenu),
    PRM_Template(PRM_TOGGLE, 1, &names[Ease], PRMzeroDefaults),
    PRM_Template(PRM_FLT_J, 1, &names[DriverVal], PRMzeroDefaults),
    PRM_Template(PRM_SEPARATOR, 1, &names[Sep0], PRMzeroDefaults),
    PRM_Template(PRM_FLT, 1, &names[KeyVal0], PRMzeroDefaults),
    PRM_Template(PRM_CALLBACK, 1, &names[GetKey0], nullptr, nullptr, nullptr, getKeyCallback),
    PRM_Template(PRM_ORD, 1, &names[XOrd0], nullptr, &PRMtrsMenu),
    PRM_Template(PRM_ORD, 1, &names[ROrd0], nullptr, &PRMxyzMenu),
    PRM_Template(PRM_FLT, 3, &names[Translate0], PRMzeroDefaults),
    PRM_Template(PRM_FLT, 3, &names[Rotate0], PRMzeroDefaults),
    PRM_Template(PRM_FLT, 3, &names[Scale0], PRMoneDefaults),
    PRM_Template(PRM_FLT, 3, &names[Pivot0], PRMzeroDefaults),
    PRM_Template(PRM_FLT, 1, &names[UniformScale0], PRMoneDefaults),
    PRM_Template(PRM_CALLBACK, 1, &names[Reset0], nullptr, nullptr, nullptr, resetKeyCallback),
    PRM_Template(PRM_CALLBACK, 1, &names[PutKey0], nullptr, nullptr, nullptr, putKeyCallback),
    PRM_Template(PRM_SEPARATOR, 1, &names[Sep1]),
    PRM_Template(PRM_MultiType(2), perKeyTemplates, 10.0f, &names[NumKeys], PRMoneDefaults),
    terminator(),
};

} // namespace quenlo
