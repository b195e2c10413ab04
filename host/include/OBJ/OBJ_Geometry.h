// OBJ_Geometry: an object that may carry geometry. The stand-in host has no
// geometry; the class keeps the host's object hierarchy.
#pragma once

#include "OBJ_Node.h"

class OBJ_Geometry : public OBJ_Node {
public:
    OBJ_Geometry(OP_Network* parent, const char* name, OP_Operator* op);
    ~OBJ_Geometry() override;
};
