#include "OP/OP_Network.h"

#include "OP/OP_OperatorTable.h"

#include <algorithm>
#include <cctype>
#include <string>

OP_Network::OP_Network(OP_Network* parent, const char* name, OP_Operator* op)
    : OP_Node(parent, name, op) {}

OP_Network::OP_Network(OP_OperatorTable* table, const char* name)
    : OP_Node(nullptr, name, nullptr), myTable(table) {}

OP_Network::~OP_Network() { destroyAllNodes(); }

OP_OperatorTable* OP_Network::getOperatorTable() const {
    for (const OP_Network* net = this; net; net = net->getParent())
        if (net->myTable)
            return net->myTable;
    return nullptr;
}

OP_Node* OP_Network::findNode(std::string_view name) const {
    for (const auto& child : myChildren)
        if (name == child->getName())
            return child.get();
    return nullptr;
}

std::string OP_Network::uniqueName(const std::string& base) const {
    if (!base.empty() && !findNode(base))
        return base;
    // Strip trailing digits so "q2" taken gives "q3", not "q21".
    std::string stem = base;
    while (!stem.empty() && std::isdigit(static_cast<unsigned char>(stem.back())))
        stem.pop_back();
    if (stem.empty())
        stem = "node";
    for (int n = 1;; ++n) {
        std::string candidate = stem + std::to_string(n);
        if (!findNode(candidate))
            return candidate;
    }
}

OP_Node* OP_Network::createNode(const char* type, const char* name) {
    OP_OperatorTable* table = getOperatorTable();
    OP_Operator* op = table ? table->getOperator(type) : nullptr;
    if (!op || !op->getConstructor())
        return nullptr;
    std::string unique = uniqueName(name && *name ? name : op->getName());
    OP_Node* node = op->getConstructor()(this, unique.c_str(), op);
    if (node)
        myChildren.emplace_back(node);
    return node;
}

bool OP_Network::destroyNode(OP_Node* child) {
    auto it = std::find_if(myChildren.begin(), myChildren.end(),
                           [&](const auto& owned) { return owned.get() == child; });
    if (it == myChildren.end())
        return false;
    const std::unique_ptr<OP_Node> doomed = std::move(*it);
    myChildren.erase(it);
    for (const auto& other : myChildren)
        for (unsigned i = 0; i < other->nInputs(); ++i)
            if (other->getInput(i) == child)
                other->setInput(i, nullptr);
    return true;
}

void OP_Network::destroyAllNodes() {
    // Unwire everything first so no destructor sees a dangling input.
    for (const auto& child : myChildren)
        for (unsigned i = 0; i < child->nInputs(); ++i)
            child->setInput(i, nullptr);
    // Last made, first gone.
    while (!myChildren.empty())
        myChildren.pop_back();
}
