// Registration of the "quenlo" object node type.
#pragma once

class OP_Network;
class OP_Node;
class OP_Operator;
class OP_OperatorTable;

namespace quenlo {

// Constructor callback of the node type: a new OBJ_Quenlo, or nullptr when
// it cannot be allocated. [host thread] When a network makes a quenlo node.
OP_Node* createNode(OP_Network* net, const char* name, OP_Operator* op);

// Adds a new "quenlo" node-type record to the table. [host thread] From
// newObjectOperator, at load.
void registerOperator(OP_OperatorTable* table);

} // namespace quenlo
