// OP_Network: a node that holds other nodes.
//
// A network owns its children: it creates them through their type's
// constructor callback, gives each a unique name, and destroys them through
// their virtual destructor. Finding a child by name and making a unique name
// take the same time however many children there are.
#pragma once

#include "OP_Node.h"

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class OP_OperatorTable;

class OP_Network : public OP_Node {
public:
    OP_Network(OP_Network* parent, const char* name, OP_Operator* op);
    // A top-level network whose children are made from table's types.
    explicit OP_Network(OP_OperatorTable* table, const char* name = "obj");
    ~OP_Network() override;

    // Makes a node of the named type. name nullptr or "" gives the type name
    // followed by a number; a name already taken gets the lowest free number
    // appended ("q", "q1", "q2", ...). Returns nullptr when the type is
    // unknown or its constructor returns nothing.
    OP_Node* createNode(const char* type, const char* name = nullptr);
    // Disconnects the child from every input that uses it and destroys it.
    bool destroyNode(OP_Node* child);
    // Gives the child the name, keeping its place, its wiring and everything
    // it holds. Returns false, changing nothing, for a node that is not a
    // child, an empty name, or a name another child has.
    bool renameNode(OP_Node* child, std::string_view name);
    void destroyAllNodes();

    OP_Node* findNode(std::string_view name) const;
    int getNchildren() const { return static_cast<int>(myChildren.size()); }
    OP_Node* getChild(int index) const { return myChildren[index].get(); }
    OP_OperatorTable* getOperatorTable() const;

    // --- Dirty propagation ---------------------------------------------------
    // Goes up whenever a child is made, destroyed or renamed, or an input of
    // a child is rewired: the list of children and their wiring are as they
    // were while it is unchanged.
    unsigned long getChildListVersion() const { return myChildListVersion; }
    // The children that changed since the last call, each once: their
    // parameters (any write that changes the parameter version), their
    // inputs or their recook requests changed, or they were made. The list
    // starts afresh. With addReaders, what a host must cook again after an
    // edit, at the same time, for every child to be what a cook of all of
    // them gives.
    std::vector<OP_Node*> takeChangedChildren();
    // Appends to nodes every child that reads one of them through an input,
    // and every child that reads those, and so on; drops repeats, keeping
    // the first of each.
    void addReaders(std::vector<OP_Node*>& nodes) const;

private:
    friend class OP_Node; // counts its rewiring in the child list's version
    std::string uniqueName(const std::string& base);
    // A child's name was released: its number may be reused.
    void freeNumber(const std::string& name);

    // The children by name, and for each name stem ("q" of "q12") the
    // lowest number that may still be free: every lower one is taken.
    // Made with the first child, so that nodes without children (most
    // objects) carry only the pointer.
    struct ChildIndex {
        std::unordered_map<std::string_view, OP_Node*> byName;
        std::unordered_map<std::string, int> nextNumber;
    };

    OP_OperatorTable* myTable = nullptr;
    std::vector<std::unique_ptr<OP_Node>> myChildren;
    std::unique_ptr<ChildIndex> myChildIndex;
    unsigned long myChildListVersion = 0;
    // Children noted as changed (OP_Parameters::noteChanged).
    std::vector<OP_Parameters*> myChanged;
    // Every wire between children, (source, reader), sorted by source; made
    // again when the child list's version moves on.
    mutable std::vector<std::pair<const OP_Node*, OP_Node*>> myReaders;
    mutable unsigned long myReadersVersion = ~0ul;
};
