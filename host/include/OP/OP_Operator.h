// OP_Operator: the record of one node type.
//
// It names the type, says how many inputs its nodes take, how to construct a
// node, and which parameter templates its nodes have. The templates come as
// a chain of OP_TemplatePair records; a node's parameter list is the lists
// of the chain concatenated in chain order.
#pragma once

#include "OP_ParmLayout.h"
#include "PRM/PRM_Parm.h"
#include "PRM/PRM_Template.h"

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class OP_Network;
class OP_Node;
class OP_Operator;

// One link of a template chain: a template list (terminated) and the next
// link, or nullptr. The records are plain and owned by whoever made them.
class OP_TemplatePair {
public:
    OP_TemplatePair(PRM_Template* templates, OP_TemplatePair* next = nullptr)
        : myTemplate(templates), mySecond(next) {}
    PRM_Template* myTemplate;
    OP_TemplatePair* mySecond;
};

// Local variables a node type offers to expressions. The stand-in host has
// no expression language; the record is kept for the operator's signature.
class OP_VariablePair {
public:
    explicit OP_VariablePair(const char* const* names = nullptr) : myNames(names) {}
    const char* const* myNames;
};

// Creates a node of the type: (network, name, type) -> the new node, or
// nullptr when it cannot be made. [host thread] When a network makes a node
// of the type; the network owns what it returns and deletes it through its
// virtual destructor.
using OP_Constructor = OP_Node* (*)(OP_Network* net, const char* name, OP_Operator* op);

class OP_Operator {
public:
    // name: the type name used in scenes ("null"); english: the label users
    // see ("Null"); inputLabels: nullptr, or labels ending in nullptr (the
    // node's labelForInput answers otherwise).
    OP_Operator(const char* name, const char* english, OP_Constructor construct,
                OP_TemplatePair* templates, unsigned minInputs, unsigned maxInputs,
                OP_VariablePair* variables = nullptr, unsigned flags = 0,
                const char** inputLabels = nullptr);
    virtual ~OP_Operator();
    OP_Operator(const OP_Operator&) = delete;
    OP_Operator& operator=(const OP_Operator&) = delete;

    const char* getName() const { return myName.c_str(); }
    const char* getEnglishName() const { return myEnglish.c_str(); }
    OP_Constructor getConstructor() const { return myConstructor; }
    OP_TemplatePair* getTemplatePair() const { return myTemplates; }
    unsigned getMinInputs() const { return myMinInputs; }
    unsigned getMaxInputs() const { return myMaxInputs; }
    OP_VariablePair* getVariablePair() const { return myVariables; }
    unsigned getFlags() const { return myFlags; }
    const char** getInputLabels() const { return myInputLabels; }

    // The templates of the chain, concatenated in chain order, terminators
    // left out. Built once, on first use.
    const std::vector<const PRM_Template*>& getParmTemplates() const;

    // The instance templates of instance `instance` of a list (a
    // multi-parameter template of this type, at instance path `path` of the
    // lists around it; empty for a top-level list): one per member, in
    // member order. Made on first use and kept while the type lives, so
    // every node of the type shares them.
    const PRM_InstanceTemplate* instanceTemplates(const PRM_Template* list,
                                                  const std::vector<int>& path, int instance) const;

    // The layout of nodes of this type whose lists have this shape (see
    // OP/OP_ParmLayout.h), or nullptr when no node has it now; remember
    // registers a layout a node made.
    std::shared_ptr<const OP_ParmLayout> parmLayout(const std::vector<int>& shape) const;
    void rememberParmLayout(const std::shared_ptr<const OP_ParmLayout>& layout) const;

    // File of the module that registered this type; empty for the host's own.
    const std::string& getModulePath() const { return myModulePath; }
    void setModulePath(const std::string& path) { myModulePath = path; }

private:
    std::string myName;
    std::string myEnglish;
    OP_Constructor myConstructor;
    OP_TemplatePair* myTemplates;
    unsigned myMinInputs;
    unsigned myMaxInputs;
    OP_VariablePair* myVariables;
    unsigned myFlags;
    const char** myInputLabels;
    std::string myModulePath;
    mutable std::vector<const PRM_Template*> myFlat;
    mutable bool myFlatBuilt = false;
    // Per list and outer instance path: the member records of each
    // instance, by instance number - 1.
    using InstanceRecords = std::unique_ptr<PRM_InstanceTemplate[]>;
    mutable std::map<std::pair<const PRM_Template*, std::vector<int>>, std::vector<InstanceRecords>>
        myInstances;
    // The layouts nodes hold now, by shape; a layout dies with its last node.
    mutable std::map<std::vector<int>, std::weak_ptr<const OP_ParmLayout>> myLayouts;
    mutable std::size_t myLayoutsAfterSweep = 0;
};
