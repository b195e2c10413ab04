#include "OP/OP_Network.h"

#include "OP/OP_OperatorTable.h"

#include <algorithm>
#include <cctype>
#include <string>

OP_Network::OP_Network(OP_Network* parent, const char* name, OP_Operator* op)
    : OP_Node(parent, name, op) {}

OP_Network::OP_Network(OP_OperatorTable* table, const char* name)
    : OP_Node(nullptr, name, nullptr), myTable(table) {}

OP_Network::~OP_Network() {
    destroyAllNodes();
}

OP_OperatorTable* OP_Network::getOperatorTable() const {
    for (const OP_Network* net = this; net; net = net->getParent())
        if (net->myTable)
            return net->myTable;
    return nullptr;
}

OP_Node* OP_Network::findNode(std::string_view name) const {
    if (!myChildIndex)
        return nullptr;
    const auto it = myChildIndex->byName.find(name);
    return it == myChildIndex->byName.end() ? nullptr : it->second;
}

namespace {
// "q12" is stem "q" and number 12; a name without a trailing number, or with
// a leading zero in it ("q012", which no numbering makes), has number 0.
std::pair<std::string, int> splitNumber(const std::string& name) {
    std::size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1])))
        --digits;
    std::string stem = name.substr(0, digits);
    if (digits == name.size() || name[digits] == '0' || name.size() - digits > 9)
        return {stem, 0};
    return {stem, std::stoi(name.substr(digits))};
}
} // namespace

std::string OP_Network::uniqueName(const std::string& base) {
    if (!base.empty() && !findNode(base))
        return base;
    // Strip trailing digits so "q2" taken gives "q3", not "q21".
    std::string stem = splitNumber(base).first;
    if (stem.empty())
        stem = "node";
    // Every number below the hint is taken; try upward from it.
    int& next = myChildIndex->nextNumber.try_emplace(stem, 1).first->second;
    for (int n = next;; ++n) {
        std::string candidate = stem + std::to_string(n);
        if (!findNode(candidate)) {
            next = n + 1;
            return candidate;
        }
    }
}

void OP_Network::freeNumber(const std::string& name) {
    // The name's number is free again: the lowest free one may now be lower.
    const auto [stem, number] = splitNumber(name);
    if (number > 0) {
        const auto hint = myChildIndex->nextNumber.find(stem);
        if (hint != myChildIndex->nextNumber.end() && hint->second > number)
            hint->second = number;
    }
}

OP_Node* OP_Network::createNode(const char* type, const char* name) {
    OP_OperatorTable* table = getOperatorTable();
    OP_Operator* op = table ? table->getOperator(type) : nullptr;
    if (!op || !op->getConstructor())
        return nullptr;
    if (!myChildIndex)
        myChildIndex = std::make_unique<ChildIndex>();
    std::string unique = uniqueName(name && *name ? name : op->getName());
    OP_Node* node = op->getConstructor()(this, unique.c_str(), op);
    if (node) {
        myChildren.emplace_back(node);
        myChildIndex->byName.emplace(node->getName(), node);
        ++myChildListVersion;
        // A new node has never cooked: it is a change of its own.
        myChanged.push_back(node);
    }
    return node;
}

bool OP_Network::destroyNode(OP_Node* child) {
    auto it = std::find_if(myChildren.begin(), myChildren.end(),
                           [&](const auto& owned) { return owned.get() == child; });
    if (it == myChildren.end())
        return false;
    const std::unique_ptr<OP_Node> doomed = std::move(*it);
    myChildren.erase(it);
    myChildIndex->byName.erase(child->getName());
    freeNumber(child->getName());
    ++myChildListVersion;
    if (!child->myChangeList)
        std::erase(myChanged, static_cast<OP_Parameters*>(child));
    for (const auto& other : myChildren)
        for (unsigned i = 0; i < other->nInputs(); ++i)
            if (other->getInput(i) == child)
                other->setInput(i, nullptr);
    return true;
}

bool OP_Network::renameNode(OP_Node* child, std::string_view name) {
    if (name.empty() || child == nullptr || child->getParent() != this ||
        findNode(child->getName()) != child)
        return false;
    if (OP_Node* other = findNode(name))
        return other == child;
    myChildIndex->byName.erase(child->getName());
    freeNumber(child->getName());
    child->myName = std::string(name);
    myChildIndex->byName.emplace(child->getName(), child);
    ++myChildListVersion;
    return true;
}

void OP_Network::destroyAllNodes() {
    // Unwire everything first so no destructor sees a dangling input.
    for (const auto& child : myChildren)
        for (unsigned i = 0; i < child->nInputs(); ++i)
            child->setInput(i, nullptr);
    // Destroyed in reverse order of creation.
    myChanged.clear();
    while (!myChildren.empty())
        myChildren.pop_back();
    myChildIndex.reset();
    ++myChildListVersion;
}

std::vector<OP_Node*> OP_Network::takeChangedChildren() {
    std::vector<OP_Node*> changed;
    changed.reserve(myChanged.size());
    for (OP_Parameters* p : myChanged) {
        p->myChangeList = &myChanged;
        changed.push_back(static_cast<OP_Node*>(p));
    }
    myChanged.clear();
    return changed;
}

void OP_Network::addReaders(std::vector<OP_Node*>& nodes) const {
    if (myReadersVersion != myChildListVersion) {
        myReaders.clear();
        for (const auto& child : myChildren)
            for (unsigned i = 0; i < child->nInputs(); ++i)
                if (const OP_Node* source = child->getInput(i))
                    myReaders.emplace_back(source, child.get());
        std::sort(myReaders.begin(), myReaders.end());
        myReaders.erase(std::unique(myReaders.begin(), myReaders.end()), myReaders.end());
        myReadersVersion = myChildListVersion;
    }
    // A walk down the wires from every node given, each node once.
    const std::uint32_t mark = ++OP_Node::ourWalk;
    std::size_t kept = 0;
    for (OP_Node* node : nodes)
        if (node->myVisitMark != mark) {
            node->myVisitMark = mark;
            nodes[kept++] = node;
        }
    nodes.resize(kept);
    for (std::size_t at = 0; at < nodes.size(); ++at) {
        const OP_Node* source = nodes[at];
        auto it = std::lower_bound(myReaders.begin(), myReaders.end(),
                                   std::pair<const OP_Node*, OP_Node*>(source, nullptr));
        for (; it != myReaders.end() && it->first == source; ++it)
            if (it->second->myVisitMark != mark) {
                it->second->myVisitMark = mark;
                nodes.push_back(it->second);
            }
    }
}

// A wire belongs to the network: setting one counts in its child list.
bool OP_Node::setInput(unsigned idx, OP_Node* src) {
    if (idx >= myInputs.size())
        return false;
    if (src && (src->getParent() != getParent() || src->dependsOn(this)))
        return false;
    if (myInputs[idx] != src) {
        myInputs[idx] = src;
        touch();
        if (myParent)
            ++myParent->myChildListVersion;
    }
    return true;
}
