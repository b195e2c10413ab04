#include "OBJ/OBJ_Null.h"
#include "OP/OP_OperatorTable.h"
#include "PRM/PRM_Shared.h"

#include <cstring>

OP_Operator::OP_Operator(const char* name, const char* english, OP_Constructor construct,
                         OP_TemplatePair* templates, unsigned minInputs, unsigned maxInputs,
                         OP_VariablePair* variables, unsigned flags, const char** inputLabels)
    : myName(name ? name : ""), myEnglish(english ? english : ""), myConstructor(construct),
      myTemplates(templates), myMinInputs(minInputs), myMaxInputs(maxInputs),
      myVariables(variables), myFlags(flags), myInputLabels(inputLabels) {}

OP_Operator::~OP_Operator() = default;

const std::vector<const PRM_Template*>& OP_Operator::getParmTemplates() const {
    if (!myFlatBuilt) {
        for (const OP_TemplatePair* pair = myTemplates; pair; pair = pair->mySecond)
            for (const PRM_Template* t = pair->myTemplate; t && !t->isTerminator(); ++t)
                myFlat.push_back(t);
        myFlatBuilt = true;
    }
    return myFlat;
}

const PRM_InstanceTemplate* OP_Operator::instanceTemplates(const PRM_Template* list,
                                                         const std::vector<int>& path,
                                                         int instance) const {
    std::vector<InstanceRecords>& records = myInstances[{list, path}];
    const auto slot = static_cast<std::size_t>(instance - 1);
    if (records.size() <= slot)
        records.resize(slot + 1);
    if (!records[slot]) {
        const PRM_Template* members = list->getMultiParmTemplate();
        const int count = PRM_Template::countTemplates(members);
        std::vector<int> instancePath = path;
        instancePath.push_back(instance);
        records[slot] = std::make_unique<PRM_InstanceTemplate[]>(std::size_t(count));
        for (int m = 0; m < count; ++m)
            records[slot][std::size_t(m)].make(&members[m], instancePath);
    }
    return records[slot].get();
}

std::shared_ptr<const OP_ParmLayout> OP_Operator::parmLayout(const std::vector<int>& shape) const {
    const auto it = myLayouts.find(shape);
    if (it == myLayouts.end())
        return nullptr;
    std::shared_ptr<const OP_ParmLayout> layout = it->second.lock();
    if (!layout)
        myLayouts.erase(it);
    return layout;
}

void OP_Operator::rememberParmLayout(const std::shared_ptr<const OP_ParmLayout>& layout) const {
    // Shapes come and go (a count dragged up and down): drop the forgotten
    // ones whenever the list has doubled since the last sweep.
    if (myLayouts.size() >= 2 * myLayoutsAfterSweep + 16) {
        std::erase_if(myLayouts, [](const auto& entry) { return entry.second.expired(); });
        myLayoutsAfterSweep = myLayouts.size();
    }
    myLayouts[layout->shape] = layout;
}

bool OP_OperatorTable::addOperator(OP_Operator* op) {
    if (!op)
        return false;
    std::unique_ptr<OP_Operator> owned(op);
    if (getOperator(op->getName()))
        return false;
    myOps.push_back(std::move(owned));
    return true;
}

void OP_OperatorTable::removeOperators(int first) {
    if (first >= 0 && first < entries())
        myOps.erase(myOps.begin() + first, myOps.end());
}

OP_Operator* OP_OperatorTable::getOperator(const char* name) const {
    if (!name)
        return nullptr;
    for (const auto& op : myOps)
        if (std::strcmp(op->getName(), name) == 0)
            return op.get();
    return nullptr;
}

void OBJinstallHostOperators(OP_OperatorTable& table) {
    // The null's own display parameters follow the object templates, inside
    // the folder that the object list's "stdswitcher" opens.
    static PRM_Name geoscaleName("geoscale", "Icon scale");
    static PRM_Name controlName("controltype", "Display as");
    static PRM_Name controlItems[] = {PRM_Name("null", "Null"), PRM_Name("circles", "Circles"),
                                      PRM_Name("box", "Box"), PRM_Name()};
    static PRM_ChoiceList controlMenu(
        PRM_CHOICELIST_EXCLUSIVE_SINGLE, controlItems);
    static PRM_Template nullTemplates[] = {
        PRM_Template(PRM_FLT, 1, &geoscaleName, PRMoneDefaults),
        PRM_Template(PRM_ORD, 1, &controlName, PRMzeroDefaults, &controlMenu),
        PRM_Template(),
    };
    static OP_TemplatePair nullOwn(nullTemplates);
    static OP_TemplatePair nullPair(OBJ_Null::getTemplateList(), &nullOwn);
    table.addOperator(
        new OP_Operator("null", "Null", OBJ_Null::myConstructor, &nullPair, 0, 1));
}
