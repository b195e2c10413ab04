// The node's own parameter templates. The objects are defined in the order
// they are built at load, each before the templates that refer to it, and go
// away in reverse order at unload.
#include "parms/QuenloTemplates.h"

#include "PRM/PRM_Shared.h"
#include "QuenloTokens.h"
#include "commands/QuenloCommands.h"
#include "keys/KeyPose.h"
#include "node/OBJ_Quenlo.h"

#include <array>
#include <string>
#include <string_view>

namespace quenlo {
namespace {

namespace tok = token;

PRM_Name switcherName(tok::switcher, nullptr, 0);

// One folder, labelled "Quenlo", enclosing the whole own template list.
PRM_Default folderDefault(ownTemplateCount, "Quenlo", CH_STRING_LABEL);

PRM_Name interpNames[] = {
    PRM_Name("euler", "Euler", 0),
    PRM_Name("quat", "Quaternion", 0),
    PRM_Name(nullptr, nullptr, 0),
};
const PRM_ChoiceList interpMenu(PRM_CHOICELIST_EXCLUSIVE_SINGLE, interpNames);

// The parameters outside the key block.
PRM_Name driverValName(tok::driverVal, "Driver val", 0);
PRM_Name numKeysName(tok::numKeys, "Number of key positions", 0);
PRM_Name sep0Name(tok::sep0, "Sep", 0);
PRM_Name sep1Name(tok::sep1, "Sep", 0);
PRM_Name interpName(tok::interp, "Interp Type", 0);
PRM_Name easeName(tok::ease, "Ease", 0);
PRM_Name sep2Name(tok::sep2, "Sep", 0);

// One parameter of a key. "#" in the token and the label stands for the key
// number. The rows serve both the members of every "numkeys" instance (key
// 1, 2, ...) and the key 0 block, which differs from them in three ways,
// each marked by a column:
//  * key 0 is always active, so it has no "enable#" toggle (inKeyZero);
//  * "keyval0" runs no callback: a change to it takes effect at the next
//    rebuild of the key table (callbackInKeyZero);
//  * every key keeps its own orders, but keys are applied in key 0's, so only
//    key 0's are shown (hiddenInInstances).
struct KeyParmRow {
    const char* token;
    const char* label;
    PRM_Type type;
    int size;
    PRM_Default* defaults;
    const PRM_ChoiceList* menu;
    PRM_Callback callback;
    bool inKeyZero = true;
    bool callbackInKeyZero = true;
    bool hiddenInInstances = false;
};

// In list order.
constexpr KeyParmRow keyRows[] = {
    {tok::enable, "Enable key", PRM_TOGGLE, 1, PRMoneDefaults, nullptr, nullptr, false},
    {tok::keyVal, "Driver key #", PRM_FLT, 1, PRMzeroDefaults, nullptr, keyValueCallback, true,
     false},
    {tok::getKey, "Get key #", PRM_CALLBACK, 1, nullptr, nullptr, getKeyCallback},
    {tok::xOrd, "Transform Order", PRM_ORD, 1, nullptr, &PRMtrsMenu, nullptr, true, true, true},
    {tok::rOrd, "Rotate Order", PRM_ORD, 1, nullptr, &PRMxyzMenu, nullptr, true, true, true},
    {tok::translate, "Translate", PRM_FLT, 3, PRMzeroDefaults, nullptr, nullptr},
    {tok::rotate, "Rotate", PRM_FLT, 3, PRMzeroDefaults, nullptr, nullptr},
    {tok::scale, "Scale", PRM_FLT, 3, PRMoneDefaults, nullptr, nullptr},
    {tok::pivot, "Pivot", PRM_FLT, 3, PRMzeroDefaults, nullptr, nullptr},
    {tok::uniformScale, "Uniform scale", PRM_FLT, 1, PRMoneDefaults, nullptr, nullptr},
    {tok::reset, "Reset transform", PRM_CALLBACK, 1, nullptr, nullptr, resetKeyCallback},
    {tok::putKey, "Put key #", PRM_CALLBACK, 1, nullptr, nullptr, putKeyCallback},
};
static_assert(std::size(keyRows) == perKeyTemplateCount);

// Every field a key stores (keys/KeyPose.h) has its row here, with the
// field's size, and a default that is the field's identity value: what
// Reset transform writes is what a new key holds.
constexpr bool rowsMatchKeyFields() {
    for (const KeyField& field : keyFields) {
        const KeyParmRow* row = nullptr;
        for (const KeyParmRow& r : keyRows)
            if (std::string_view(r.token) == field.keyToken)
                row = &r;
        if (row == nullptr || row->size != field.components)
            return false;
        // Orders have no default of their own (menu item 0); pose fields use
        // the shared zeros or ones.
        if (field.isOrder()
                ? row->defaults != nullptr || field.identity != 0.0f
                : (field.identity != 0.0f && field.identity != 1.0f) ||
                      row->defaults != (field.identity == 1.0f ? PRMoneDefaults : PRMzeroDefaults))
            return false;
    }
    return true;
}
static_assert(rowsMatchKeyFields(), "keyRows and keyFields disagree on a key field");

constexpr std::size_t keyZeroCount = [] {
    std::size_t n = 0;
    for (const KeyParmRow& row : keyRows)
        n += row.inKeyZero ? 1 : 0;
    return n;
}();
// The own list: five templates, the key 0 block, then "sep1" and "numkeys".
static_assert(5 + keyZeroCount + 2 == ownTemplateCount);

// text with every "#" replaced by "0".
std::string forKeyZero(const char* text) {
    std::string out = text;
    for (char& c : out)
        if (c == '#')
            c = '0';
    return out;
}

// The instances' names point at the rows' texts; key 0's names own
// numbered copies of them.
std::array<PRM_Name, perKeyTemplateCount> instanceNames = [] {
    std::array<PRM_Name, perKeyTemplateCount> names;
    for (std::size_t i = 0; i < names.size(); ++i)
        names[i] = PRM_Name(keyRows[i].token, keyRows[i].label, 0);
    return names;
}();
std::array<PRM_Name, keyZeroCount> keyZeroNames = [] {
    std::array<PRM_Name, keyZeroCount> names;
    std::size_t n = 0;
    for (const KeyParmRow& row : keyRows) {
        if (!row.inKeyZero)
            continue;
        const std::string token = forKeyZero(row.token), label = forKeyZero(row.label);
        PRM_Name name(token.c_str(), label.c_str(), 0);
        name.harden();
        names[n++] = name;
    }
    return names;
}();

PRM_Template keyTemplate(const KeyParmRow& row, PRM_Name& name, bool keyZero) {
    const PRM_Type type =
        row.hiddenInInstances && !keyZero ? typeOr(row.type, PRM_TYPE_INVISIBLE) : row.type;
    const PRM_Callback callback = keyZero && !row.callbackInKeyZero ? nullptr : row.callback;
    return PRM_Template(type, row.size, &name, row.defaults, row.menu, nullptr, callback);
}

PRM_Template terminator() {
    return PRM_Template(PRM_LIST_TERMINATOR, 1, nullptr);
}

} // namespace

PRM_Template perKeyTemplates[perKeyTemplateCount + 1];

PRM_Template switcherTemplates[2] = {
    PRM_Template(PRM_SWITCHER, 1, &switcherName, &folderDefault),
    terminator(),
};

PRM_Template ownTemplates[ownTemplateCount + 1];

namespace {

// Fills the two lists above, in the order they are declared.
[[maybe_unused]] const bool templatesBuilt = [] {
    for (std::size_t i = 0; i < std::size(keyRows); ++i)
        perKeyTemplates[i] = keyTemplate(keyRows[i], instanceNames[i], false);
    perKeyTemplates[perKeyTemplateCount] = terminator();

    std::size_t n = 0;
    ownTemplates[n++] = PRM_Template(PRM_SEPARATOR, 1, &sep2Name, PRMzeroDefaults);
    ownTemplates[n++] = PRM_Template(PRM_ORD, 1, &interpName, nullptr, &interpMenu);
    ownTemplates[n++] = PRM_Template(PRM_TOGGLE, 1, &easeName, PRMzeroDefaults);
    ownTemplates[n++] = PRM_Template(PRM_FLT_J, 1, &driverValName, PRMzeroDefaults);
    ownTemplates[n++] = PRM_Template(PRM_SEPARATOR, 1, &sep0Name, PRMzeroDefaults);
    std::size_t zero = 0;
    for (const KeyParmRow& row : keyRows)
        if (row.inKeyZero)
            ownTemplates[n++] = keyTemplate(row, keyZeroNames[zero++], true);
    ownTemplates[n++] = PRM_Template(PRM_SEPARATOR, 1, &sep1Name);
    ownTemplates[n++] =
        PRM_Template(PRM_MULTITYPE_LIST, perKeyTemplates, 10.0f, &numKeysName, PRMoneDefaults);
    ownTemplates[n] = terminator();
    return true;
}();

} // namespace

} // namespace quenlo
