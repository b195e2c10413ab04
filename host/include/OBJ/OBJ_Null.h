// OBJ_Null: the host's null object: a transform and nothing else.
#pragma once

#include "OBJ_Geometry.h"

class OBJ_Null : public OBJ_Geometry {
public:
    OBJ_Null(OP_Network* parent, const char* name, OP_Operator* op);
    ~OBJ_Null() override;

    // The host's object templates, ending in a terminator. The object's own
    // transform parameters and the path, material and display parameters
    // come first; the folder switcher "stdswitcher" is the last template, so
    // its folders enclose the templates of the list that follows this one in
    // a node type's template chain.
    static PRM_Template* getTemplateList();

    // Constructor callback of the host's "null" type.
    static OP_Node* myConstructor(OP_Network* net, const char* name, OP_Operator* op);
};
