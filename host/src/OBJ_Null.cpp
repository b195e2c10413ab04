#include "OBJ/OBJ_Null.h"

#include "PRM/PRM_Shared.h"

namespace {
// Names of the host's object parameters.
PRM_Name keepposName("keeppos", "Keep Position When Parenting");
PRM_Name prexformName("pre_xform", "Modify Pre-Transform");
PRM_Name xOrdName(OBJ_Token::xOrd, "Transform Order");
PRM_Name rOrdName(OBJ_Token::rOrd, "Rotate Order");
PRM_Name tName(OBJ_Token::translate, "Translate");
PRM_Name rName(OBJ_Token::rotate, "Rotate");
PRM_Name sName(OBJ_Token::scale, "Scale");
PRM_Name pName(OBJ_Token::pivot, "Pivot");
PRM_Name scaleName(OBJ_Token::uniformScale, "Uniform Scale");
PRM_Name tagsName("tags", "Tags");
PRM_Name handleScaleName("scalehandles", "Handle Scale");
PRM_Name lookatName("lookatpath", "Look At");
PRM_Name lookupName("lookup", "Look At Up Vector");
PRM_Name pathName("pathobjpath", "Path Object");
PRM_Name rollName("roll", "Roll");
PRM_Name posName("pos", "Position");
PRM_Name uparmName("uparmtype", "Parameterization");
PRM_Name orientName("pathorient", "Orient Along Path");
PRM_Name upName("up", "Orient Up Vector");
PRM_Name bankName("bank", "Auto-Bank Factor");
PRM_Name materialName("shop_materialpath", "Material");
PRM_Name materialOptsName("shop_materialopts", "Options");
PRM_Name tdisplayName("tdisplay"); // the toggle beside "display" has no label
PRM_Name displayName("display", "Display");
PRM_Name renderspaceName("renderspace", "Render Space");
PRM_Name dcolorName("dcolor", "Display Color");
PRM_Name pickingName("picking", "Selectable in Viewport");
PRM_Name switcherName("stdswitcher");

PRM_Name prexformItems[] = {PRM_Name("none", "No Change"),
                            PRM_Name("reset", "Reset All Transforms"), PRM_Name()};
PRM_ChoiceList prexformMenu(PRM_CHOICELIST_EXCLUSIVE_SINGLE, prexformItems);
PRM_Name lookupItems[] = {PRM_Name("off", "Don't Use Up Vector"), PRM_Name("on", "Use Up Vector"),
                          PRM_Name("quat", "Quaternions"), PRM_Name()};
PRM_ChoiceList lookupMenu(PRM_CHOICELIST_EXCLUSIVE_SINGLE, lookupItems);
PRM_Name uparmItems[] = {PRM_Name("uniform", "Uniform"), PRM_Name("arc", "Arc Length"), PRM_Name()};
PRM_ChoiceList uparmMenu(PRM_CHOICELIST_EXCLUSIVE_SINGLE, uparmItems);
PRM_Name materialOptsItems[] = {PRM_Name("none", "No Options"),
                                PRM_Name("override", "Override Material Parameters"), PRM_Name()};
PRM_ChoiceList materialOptsMenu(PRM_CHOICELIST_EXCLUSIVE_SINGLE, materialOptsItems);
PRM_Name renderspaceItems[] = {PRM_Name("world", "World"), PRM_Name("object", "Object"),
                               PRM_Name()};
PRM_ChoiceList renderspaceMenu(PRM_CHOICELIST_EXCLUSIVE_SINGLE, renderspaceItems);

PRM_Default upDefaults[] = {PRM_Default(0), PRM_Default(1), PRM_Default(0)};
PRM_Default dcolorDefaults[] = {PRM_Default(0.8), PRM_Default(0.8), PRM_Default(0.8)};
// One folder holding the templates that follow the object list (a node
// type's own parameters).
PRM_Default switcherFolders[] = {PRM_Default(2, "Misc", CH_STRING_LABEL)};

PRM_Range scaleRange(PRM_RANGE_RESTRICTED, 0.0, PRM_RANGE_UI, 10.0);
PRM_Range bankRange(PRM_RANGE_UI, -1.0, PRM_RANGE_UI, 1.0);
PRM_SpareToken objPathSpare[] = {{"opfilter", "!!OBJ!!"}, {nullptr, nullptr}};
PRM_SpareData objPath(objPathSpare);
PRM_DisableList pathDisables("{ pathobjpath == \"\" }");

// "Reset All Transforms" on the pre-transform menu: the translate, rotate and
// pivot go to 0 and the scales to 1, then the menu returns to "No Change".
int preXformCallback(void* data, int index, float time, const PRM_Template*) {
    auto* node = static_cast<OP_Node*>(data);
    PRM_Parm* menu = node->getParm(index);
    if (!menu || menu->component(0).valueAt(time) < 0.5)
        return 1;
    for (const char* token : {OBJ_Token::translate, OBJ_Token::rotate, OBJ_Token::pivot})
        for (int c = 0; c < 3; ++c)
            node->setFloat(token, c, time, 0.0);
    for (int c = 0; c < 3; ++c)
        node->setFloat(OBJ_Token::scale, c, time, 1.0);
    node->setFloat(OBJ_Token::uniformScale, 0, time, 1.0);
    node->setFloat("pre_xform", 0, time, 0.0);
    return 1;
}

PRM_Template objectTemplates[] = {
    PRM_Template(PRM_TOGGLE, 1, &keepposName, PRMzeroDefaults),
    PRM_Template(PRM_ORD, 1, &prexformName, PRMzeroDefaults, &prexformMenu, nullptr,
                 preXformCallback),
    PRM_Template(PRM_ORD, 1, &xOrdName, PRMzeroDefaults, &PRMtrsMenu),
    PRM_Template(PRM_ORD, 1, &rOrdName, PRMzeroDefaults, &PRMxyzMenu),
    PRM_Template(PRM_FLT, 3, &tName, PRMzeroDefaults, nullptr, nullptr, nullptr, nullptr, 1,
                 "Translation of the object along its parent's axes"),
    PRM_Template(PRM_FLT, 3, &rName, PRMzeroDefaults),
    PRM_Template(PRM_FLT, 3, &sName, PRMoneDefaults),
    PRM_Template(PRM_FLT, 3, &pName, PRMzeroDefaults),
    PRM_Template(PRM_FLT, 1, &scaleName, PRMoneDefaults, nullptr, &scaleRange),
    PRM_Template(PRM_STRING, 1, &tagsName),
    PRM_Template(PRM_FLT, 1, &handleScaleName, PRMoneDefaults),
    PRM_Template(PRM_STRING, 1, &lookatName, nullptr, nullptr, nullptr, nullptr, &objPath),
    PRM_Template(PRM_ORD, 1, &lookupName, PRMzeroDefaults, &lookupMenu),
    PRM_Template(PRM_STRING, 1, &pathName, nullptr, nullptr, nullptr, nullptr, &objPath, 2),
    PRM_Template(PRM_FLT, 1, &rollName, PRMzeroDefaults, nullptr, nullptr, nullptr, nullptr, 2,
                 nullptr, &pathDisables),
    PRM_Template(PRM_FLT, 1, &posName, PRMzeroDefaults, nullptr, nullptr, nullptr, nullptr, 2,
                 nullptr, &pathDisables),
    PRM_Template(PRM_ORD, 1, &uparmName, PRMzeroDefaults, &uparmMenu, nullptr, nullptr, nullptr, 2),
    PRM_Template(PRM_TOGGLE, 1, &orientName, PRMoneDefaults, nullptr, nullptr, nullptr, nullptr, 2),
    PRM_Template(PRM_FLT, 3, &upName, upDefaults, nullptr, nullptr, nullptr, nullptr, 2),
    PRM_Template(PRM_FLT, 1, &bankName, PRMzeroDefaults, nullptr, &bankRange, nullptr, nullptr, 2),
    PRM_Template(PRM_STRING, 1, &materialName, nullptr, nullptr, nullptr, nullptr, nullptr, 3),
    PRM_Template(PRM_ORD, 1, &materialOptsName, PRMzeroDefaults, &materialOptsMenu, nullptr,
                 nullptr, nullptr, 3),
    PRM_Template(PRM_TOGGLE, 1, &tdisplayName, PRMzeroDefaults),
    PRM_Template(PRM_TOGGLE, 1, &displayName, PRMoneDefaults),
    PRM_Template(PRM_ORD, 1, &renderspaceName, PRMzeroDefaults, &renderspaceMenu),
    PRM_Template(PRM_FLT, 3, &dcolorName, dcolorDefaults),
    PRM_Template(PRM_TOGGLE, 1, &pickingName, PRMoneDefaults),
    PRM_Template(PRM_SWITCHER, 1, &switcherName, switcherFolders),
    PRM_Template(),
};
} // namespace

OBJ_Null::OBJ_Null(OP_Network* parent, const char* name, OP_Operator* op)
    : OBJ_Geometry(parent, name, op) {}

OBJ_Null::~OBJ_Null() = default;

PRM_Template* OBJ_Null::getTemplateList() {
    return objectTemplates;
}

OP_Node* OBJ_Null::myConstructor(OP_Network* net, const char* name, OP_Operator* op) {
    return new OBJ_Null(net, name, op);
}
