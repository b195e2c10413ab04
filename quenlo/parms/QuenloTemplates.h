// The quenlo node type's parameter templates: its own lists and the filtered
// copy of the templates it inherits from the host's null object.
#pragma once

#include "OP/OP_Operator.h"
#include "PRM/PRM_Template.h"
#include "PRM/PRM_Type.h"

namespace quenlo {

// Bitwise OR of two parameter types: a type with both types' properties.
constexpr PRM_Type typeOr(PRM_Type a, PRM_Type b) {
    return PRM_Type(a.basicWord() | b.basicWord(), a.optionWord() | b.optionWord());
}

// Templates in the own list before its terminator; the single folder of the
// node's switcher encloses exactly these.
inline constexpr int ownTemplateCount = 18;
inline constexpr int perKeyTemplateCount = 12;

// Members of every "numkeys" instance (key 1, 2, ...), terminated.
extern PRM_Template perKeyTemplates[perKeyTemplateCount + 1];
// The folder switcher "quenloswitcher" that stands in for the inherited
// "stdswitcher", terminated.
extern PRM_Template switcherTemplates[2];
// Options, driver value, the key 0 block and "numkeys", terminated.
extern PRM_Template ownTemplates[ownTemplateCount + 1];

// A copy of `base` (terminated) in which the inherited transform, look-at,
// path, material, display and render-space parameters are invisible and
// "stdswitcher" is replaced by the node's folder switcher. The array and the
// names of the hidden copies are never released.
PRM_Template* buildFilteredTemplates(const PRM_Template* base);

// Makes `destination` an invisible copy of `source` with a name of its own.
void hideTemplate(const PRM_Template& source, PRM_Template& destination);

// The template chain of the node type: the filtered inherited list (built on
// the first call, shared by every later one), then the own list, then
// `next`. The pair records are new on every call and never released.
OP_TemplatePair* buildTemplatePair(OP_TemplatePair* next);

} // namespace quenlo
