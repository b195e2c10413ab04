// OP_OperatorTable: the node types of one network kind (here: objects).
#pragma once

#include "OP_Operator.h"

#include <memory>
#include <vector>

class OP_OperatorTable {
public:
    OP_OperatorTable() = default;
    OP_OperatorTable(const OP_OperatorTable&) = delete;
    OP_OperatorTable& operator=(const OP_OperatorTable&) = delete;

    // Takes ownership of op. Returns false when a type of that name is
    // already registered; op is then destroyed and the table is unchanged.
    bool addOperator(OP_Operator* op);

    // The type of that name, or nullptr.
    OP_Operator* getOperator(const char* name) const;
    // All types, in registration order.
    int entries() const { return static_cast<int>(myOps.size()); }
    OP_Operator* getOperator(int index) const { return myOps[index].get(); }

    // Destroys the types from index first on (the loader's undo of a module
    // whose registration failed part way). Nodes of those types must be gone.
    void removeOperators(int first);

private:
    std::vector<std::unique_ptr<OP_Operator>> myOps;
};

// Registers the host's own object types ("null") in table.
void OBJinstallHostOperators(OP_OperatorTable& table);
