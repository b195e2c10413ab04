// OP_DSOLoader: loads plug-in modules into an operator table.
//
// A module is a shared library exporting the three entry points that
// OP/OP_Module.h declares: MorvaneDSOVersion, MorvaneGetTagInfo and
// newObjectOperator, called once each at load, in this order.
// Loading maps the file with dlopen(RTLD_NOW), checks the three symbols and
// the version, and then calls newObjectOperator with the table. Types that a
// module registers remember the module's file. Loaded modules stay mapped
// for the life of the loader's process: their templates are static data of
// the module that the table's records point at.
//
// A module runs inside the host's process: the loader catches what an entry
// point throws, but a module that crashes ends the host, as in any host.
//
// Which files are mapped. loadFromSearchPath takes a plain file name
// ("OBJ_Quenlo.so": no "/", not "." or "..") and looks for it in the search
// path only, so a name read from a scene can never map a file elsewhere.
// Only load (and loadByName, given a path) maps a file a caller names by
// path; callers use them for paths a user gave on the command line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class OP_OperatorTable;

// The interface version this host accepts.
inline constexpr const char* OP_DSO_INTERFACE_VERSION = "9.0";

struct OP_DSOModule {
    std::string path;               // the file as opened
    std::string version;            // what MorvaneDSOVersion stored
    std::string tag;                // what MorvaneGetTagInfo stored
    std::vector<std::string> types; // the type names it registered
};

class OP_DSOLoader {
public:
    explicit OP_DSOLoader(OP_OperatorTable& table) : myTable(table) {}

    // Loads one module file. On failure returns false and sets error to a
    // message naming the file and what is wrong; nothing is registered. An
    // entry point that throws fails the load: the types it registered are
    // removed again and the module stays mapped but unused.
    bool load(const std::string& path, std::string& error);

    // The default module folder: "morvane/modules" beside the SDK library
    // (libmorvane.so), found at run time, so that a build tree and an
    // installed tree, moved or not, each find their own modules.
    static std::string defaultFolder();
    // The search path: MORVANE_DSO_PATH when set (folders separated by ':',
    // "&" standing for the default folder: "$HOME/modules:&" searches the
    // user's own folder first, then the default), else the default folder.
    static std::vector<std::string> searchPath();
    // The first file called fileName in the search path, or "" when none.
    static std::string find(const std::string& fileName);
    // Whether name is a plain file name: not empty, no "/" or NUL, not "."
    // or "..".
    static bool isPlainFileName(std::string_view name);
    // Loads the module file called fileName from the search path. A name
    // that is not a plain file name is refused before anything is mapped.
    bool loadFromSearchPath(const std::string& fileName, std::string& error);
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
