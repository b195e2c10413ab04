#include "OP/OP_Node.h"

#include "OP/OP_Operator.h"

#include <algorithm>

OP_NetworkBoxItem::~OP_NetworkBoxItem() = default;

OP_Node::OP_Node(OP_Network* parent, const char* name, OP_Operator* op)
    : OP_Parameters(op), myName(name ? name : ""), myParent(parent),
      myInputs(op ? op->getMaxInputs() : 0, nullptr) {}

OP_Node::~OP_Node() = default;

std::uint32_t OP_Node::ourWalk = 0;

OP_Node* OP_Node::getInput(unsigned idx, bool) const {
    return idx < myInputs.size() ? myInputs[idx] : nullptr;
}

bool OP_Node::dependsOn(const OP_Node* other) const {
    // A walk up the inputs that visits each node once: shared ancestors (a
    // node wired into both inputs of the next, down a chain) would make a
    // plain recursion take exponential time.
    const std::uint32_t mark = ++ourWalk;
    std::vector<const OP_Node*> pending{this};
    while (!pending.empty()) {
        const OP_Node* node = pending.back();
        pending.pop_back();
        if (node == other)
            return true;
        for (const OP_Node* in : node->myInputs) {
            if (in && in->myVisitMark != mark) {
                in->myVisitMark = mark;
                pending.push_back(in);
            }
        }
    }
    return false;
}


namespace {
const char* const kInputLabels[] = {"Input 1", "Input 2", "Input 3", "Input 4",
                                    "Input 5", "Input 6", "Input 7", "Input 8"};
}

const char* OP_Node::labelForInput(unsigned idx) const {
    if (OP_Operator* op = getOperator())
        if (const char** labels = op->getInputLabels())
            for (unsigned i = 0; labels[i]; ++i)
                if (i == idx)
                    return labels[i];
    return idx < std::size(kInputLabels) ? kInputLabels[idx] : "Input";
}

const char* OP_Node::outputLabel(unsigned) const {
    return "Output 1";
}

void OP_Node::runCallback(int parmIndex, float time) {
    PRM_Parm* p = getParm(parmIndex);
    if (PRM_Callback cb = p->getTemplate().getCallback())
        cb(static_cast<void*>(this), parmIndex, time, &p->getTemplate());
    refreshEnableStates();
}

bool OP_Node::setParmByUser(const char* token, int component, float time, double value) {
    int index = token ? findParmIndex(token) : -1;
    PRM_Parm* p = getParm(index);
    if (!p || component < 0 || component >= p->getVectorSize())
        return false;
    if (!p->getType().holdsValue() && !p->isMultiParm())
        return false;
    if (p->getType().isString())
        return false;
    if (const PRM_Range* range = p->getTemplate().getRangePtr())
        value = range->clampUserValue(value);
    if (!writeValue(index, component, time, value))
        return false;
    runCallback(index, time);
    return true;
}

bool OP_Node::setStringByUser(const char* token, int component, float time, const char* text) {
    int index = token ? findParmIndex(token) : -1;
    PRM_Parm* p = getParm(index);
    if (!p || !p->getType().isString() || component < 0 || component >= p->getVectorSize())
        return false;
    setString(token, component, time, text);
    runCallback(index, time);
    return true;
}

bool OP_Node::pressButton(const char* token, float time) {
    int index = token ? findParmIndex(token) : -1;
    PRM_Parm* p = getParm(index);
    if (!p || !p->getType().isButton())
        return false;
    runCallback(index, time);
    // A button may change what the node computes without changing a value
    // (a flag of the node's own, its warnings): the node cooks afresh.
    forceRecook();
    return true;
}
