#include "OBJ/OBJ_Geometry.h"

OBJ_Geometry::OBJ_Geometry(OP_Network* parent, const char* name, OP_Operator* op)
    : OBJ_Node(parent, name, op) {}

OBJ_Geometry::~OBJ_Geometry() = default;
