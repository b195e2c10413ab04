// OP_DSOLoader: loads plug-in modules into an operator table.
//
// A module is a shared library exporting three functions with plain C names:
//   void MorvaneDSOVersion(const char** version);  // stores the interface
//                                                   // version, must be "9.0"
//   void MorvaneGetTagInfo(const char** tag);       // stores a build tag
//   void newObjectOperator(OP_OperatorTable* table);// registers object types
// Loading maps the file with dlopen(RTLD_NOW), checks the three symbols and
// the version, and then calls newObjectOperator with the table. Types that a
// module registers remember the module's file. Loaded modules stay mapped
// for the life of the loader's process: their templates are static data of
// the module that the table's records point at.
#pragma once

#include <string>
#include <vector>

class OP_OperatorTable;

// The interface version this host accepts.
inline constexpr const char* OP_DSO_INTERFACE_VERSION = "9.0";

struct OP_DSOModule {
    std::string path;            // the file as opened
    std::string version;         // what MorvaneDSOVersion stored
    std::string tag;             // what MorvaneGetTagInfo stored
    std::vector<std::string> types; // the type names it registered
};

class OP_DSOLoader {
public:
    explicit OP_DSOLoader(OP_OperatorTable& table) : myTable(table) {}

    // Loads one module file. On failure returns false and sets error to a
    // message naming the file and what is wrong; nothing is registered.
    bool load(const std::string& path, std::string& error);

    // The search path: MORVANE_DSO_PATH when set (colon-separated), else the
    // build's module folder.
    static std::vector<std::string> searchPath();
    // The first file called fileName in the search path, or "" when none.
    static std::string find(const std::string& fileName);
    // Loads a module given by path (contains '/') or by file name (searched).
    bool loadByName(const std::string& nameOrPath, std::string& error);
    // Loads every "*.so" file in the search path's folders, in path order
    // and then by file name. Failures are appended to errors; returns the
    // number of modules loaded.
    int loadAll(std::vector<std::string>& errors);

    const std::vector<OP_DSOModule>& modules() const { return myModules; }
    // Whether a module with that file name (last path component) is loaded.
    const OP_DSOModule* findLoaded(const std::string& fileName) const;

private:
    OP_OperatorTable& myTable;
    std::vector<OP_DSOModule> myModules;
};
