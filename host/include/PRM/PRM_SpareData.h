// PRM_SpareData and PRM_DisableList: extra records a template may point at.
//
// Spare data is a list of (key, value) text pairs that give the interface
// hints (for example which node types a path parameter accepts). A disable
// list names conditions under which other parameters are shown disabled; the
// stand-in host keeps it with the template and lists it, but evaluates no
// conditions.
#pragma once

#include <cstddef>

struct PRM_SpareToken {
    const char* key;   // null ends the list
    const char* value;
};

class PRM_SpareData {
public:
    // tokens: pairs ending with a pair whose key is null.
    explicit PRM_SpareData(const PRM_SpareToken* tokens) : myTokens(tokens) {}

    // The value for key, or nullptr.
    const char* getValue(const char* key) const;
    const PRM_SpareToken* getTokens() const { return myTokens; }

private:
    const PRM_SpareToken* myTokens;
};

class PRM_DisableList {
public:
    // conditions: text of the form "{ token == value }", or nullptr.
    explicit PRM_DisableList(const char* conditions) : myConditions(conditions) {}
    const char* getConditions() const { return myConditions; }

private:
    const char* myConditions;
};
