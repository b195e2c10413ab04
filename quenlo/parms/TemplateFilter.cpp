// The inherited templates: the host null object's list with the object's own
// transform and a set of look-at, path, material, display and render-space
// parameters made invisible, and its folder switcher replaced by the node's.
#include "OBJ/OBJ_Null.h"
#include "UT/UT_String.h"
#include "parms/QuenloTemplates.h"

#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace quenlo {
namespace {

// Hidden tokens, matched exactly (never by prefix), in the order tested.
constexpr std::array<const char*, 17> hiddenTokens = {"keeppos",
                                                      "pre_xform",
                                                      OBJ_Token::xOrd,
                                                      OBJ_Token::rOrd,
                                                      OBJ_Token::translate,
                                                      OBJ_Token::rotate,
                                                      OBJ_Token::scale,
                                                      OBJ_Token::pivot,
                                                      OBJ_Token::uniformScale,
                                                      "lookatpath",
                                                      "lookup",
                                                      "pathobjpath",
                                                      "roll",
                                                      "pos",
                                                      "uparmtype",
                                                      "pathorient",
                                                      "up"};
constexpr std::array<const char*, 6> hiddenStrings = {
    "bank", "shop_materialpath", "shop_materialopts", "tdisplay", "display", "renderspace"};
constexpr char inheritedSwitcher[] = "stdswitcher";

// Built on the first registration and shared by every later one.
PRM_Template* filteredTemplates = nullptr;

bool isHidden(const char* token, const UT_String& text) {
    if (token != nullptr)
        for (const char* hidden : hiddenTokens)
            if (std::strcmp(token, hidden) == 0)
                return true;
    for (const char* hidden : hiddenStrings)
        if (text == hidden)
            return true;
    return false;
}

// The pair records live as long as the process: the node-type records that
// point at them are owned by the host's tables. Keeping them listed here
// keeps them reachable.
std::vector<std::unique_ptr<OP_TemplatePair>>& pairRecords() {
    static auto* records = new std::vector<std::unique_ptr<OP_TemplatePair>>;
    return *records;
}

OP_TemplatePair* newPair(PRM_Template* templates, OP_TemplatePair* next) {
    return pairRecords().emplace_back(std::make_unique<OP_TemplatePair>(templates, next)).get();
}

} // namespace

void hideTemplate(const PRM_Template& source, PRM_Template& destination) {
    const PRM_Name& sourceName = *source.getNamePtr();
    const char* label = sourceName.getLabel() ? sourceName.getLabel() : sourceName.getToken();
    auto* name = new PRM_Name(sourceName.getToken(), label, sourceName.getFlags());
    name->harden();
    destination.initialize(typeOr(source.getType(), PRM_TYPE_INVISIBLE), source.getTypeExtended(),
                           source.getExportLevel(), source.getVectorSize(), name,
                           source.getFactoryDefaults(), source.getChoiceListPtr(),
                           source.getRangePtr(), source.getCallback(), source.getSparePtr(),
                           source.getParmGroup(), source.getHelpText(), source.getDisableList());
}

PRM_Template* buildFilteredTemplates(const PRM_Template* base) {
    const int count = PRM_Template::countTemplates(base, false, false, false);
    // Default templates are terminators, so the last entry ends the list.
    auto* filtered = new PRM_Template[count + 1];
    UT_String token;
    for (int i = 0; i < count; ++i) {
        filtered[i] = base[i];
        token = filtered[i].getToken();
        if (isHidden(filtered[i].getToken(), token))
            hideTemplate(base[i], filtered[i]);
        else if (token == inheritedSwitcher)
            filtered[i] = switcherTemplates[0];
    }
    return filtered;
}

OP_TemplatePair* buildTemplatePair(OP_TemplatePair* next) {
    if (filteredTemplates == nullptr)
        filteredTemplates = buildFilteredTemplates(OBJ_Null::getTemplateList());
    OP_TemplatePair* own = newPair(ownTemplates, next);
    return newPair(filteredTemplates, own);
}

} // namespace quenlo
