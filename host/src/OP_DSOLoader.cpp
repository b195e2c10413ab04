#include "OP/OP_DSOLoader.h"

#include "OP/OP_OperatorTable.h"
#include "UT_LibraryFolder.h"
#include "UT_ReadOnlyMemory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <exception>
#include <filesystem>

namespace {
using VersionFn = void (*)(const char**);
using TagFn = void (*)(const char**);
using RegisterFn = void (*)(OP_OperatorTable*);

std::string lastComponent(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

} // namespace

bool OP_DSOLoader::load(const std::string& path, std::string& error) {
    if (findLoaded(lastComponent(path))) {
        error = path + ": a module of that name is already loaded";
        return false;
    }
    // RTLD_LOCAL keeps each module's symbols to itself.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        // dlerror() usually names the file itself: strip it so it appears once.
        const char* message = dlerror();
        std::string why = message ? message : "unknown reason";
        if (why.rfind(path + ": ", 0) == 0)
            why.erase(0, path.size() + 2);
        error = path + ": cannot load module: " + why;
        return false;
    }
    // The module's string literals are read-only text from now on.
    UT_rescanReadOnlyMemory();
    auto fail = [&](const std::string& why) {
        error = path + ": " + why;
        dlclose(handle);
        return false;
    };
    auto version = reinterpret_cast<VersionFn>(dlsym(handle, "MorvaneDSOVersion"));
    auto tag = reinterpret_cast<TagFn>(dlsym(handle, "MorvaneGetTagInfo"));
    auto reg = reinterpret_cast<RegisterFn>(dlsym(handle, "newObjectOperator"));
    if (!version)
        return fail("not a module: missing entry point MorvaneDSOVersion");
    if (!tag)
        return fail("not a module: missing entry point MorvaneGetTagInfo");
    if (!reg)
        return fail("not a module: missing entry point newObjectOperator");

    // An entry point that throws fails the load; the module's text is in
    // the message so the user knows which module to blame.
    const int before = myTable.entries();
    const auto call = [&](const char* what, auto&& entry) -> bool {
        try {
            entry();
            return true;
        } catch (const std::exception& e) {
            error = path + ": " + what + " threw: " + e.what();
        } catch (...) {
            error = path + ": " + what + " threw an exception that is not a std::exception";
        }
        // Types registered before the throw point into a module that failed;
        // take them out. The module stays mapped: its code may still be
        // referenced (its static destructors, for one).
        myTable.removeOperators(before);
        return false;
    };

    const char* v = nullptr;
    if (!call("MorvaneDSOVersion", [&] { version(&v); }))
        return false;
    if (!v || std::strcmp(v, OP_DSO_INTERFACE_VERSION) != 0)
        return fail(std::string("built for host interface version \"") + (v ? v : "(none)") +
                    "\", this host accepts \"" + OP_DSO_INTERFACE_VERSION + "\"");
    const char* t = nullptr;
    if (!call("MorvaneGetTagInfo", [&] { tag(&t); }))
        return false;

    OP_DSOModule module;
    module.path = path;
    module.version = v;
    module.tag = t ? t : "";
    if (!call("newObjectOperator", [&] { reg(&myTable); }))
        return false;
    for (int i = before; i < myTable.entries(); ++i) {
        myTable.getOperator(i)->setModulePath(path);
        module.types.push_back(myTable.getOperator(i)->getName());
    }
    // The handle is kept open: the registered types point into the module.
    myModules.push_back(std::move(module));
    return true;
}

std::string OP_DSOLoader::defaultFolder() {
    static const std::string folder = (UT_libraryFolder() / "morvane" / "modules").string();
    return folder;
}

std::vector<std::string> OP_DSOLoader::searchPath() {
    std::vector<std::string> dirs;
    const char* env = std::getenv("MORVANE_DSO_PATH");
    const std::string path = (env && *env) ? env : "&";
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t colon = path.find(':', start);
        if (colon == std::string::npos)
            colon = path.size();
        const std::string dir = path.substr(start, colon - start);
        if (dir == "&")
            dirs.push_back(defaultFolder());
        else if (!dir.empty())
            dirs.push_back(dir);
        start = colon + 1;
    }
    return dirs;
}

std::string OP_DSOLoader::find(const std::string& fileName) {
    for (const std::string& dir : searchPath()) {
        std::filesystem::path candidate = std::filesystem::path(dir) / fileName;
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec))
            return candidate.string();
    }
    return "";
}

bool OP_DSOLoader::isPlainFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

bool OP_DSOLoader::loadFromSearchPath(const std::string& fileName, std::string& error) {
    if (!isPlainFileName(fileName)) {
        error = "\"" + fileName +
                "\": not a module file name (a name, not a path, of a file in the module "
                "search path)";
        return false;
    }
    std::string found = find(fileName);
    if (found.empty()) {
        std::string dirs;
        for (const std::string& d : searchPath())
            dirs += (dirs.empty() ? "" : ":") + d;
        error = fileName + ": module not found on the search path \"" + dirs + "\"";
        return false;
    }
    return load(found, error);
}

bool OP_DSOLoader::loadByName(const std::string& nameOrPath, std::string& error) {
    if (nameOrPath.find('/') != std::string::npos)
        return load(nameOrPath, error);
    return loadFromSearchPath(nameOrPath, error);
}

int OP_DSOLoader::loadAll(std::vector<std::string>& errors) {
    int loaded = 0;
    for (const std::string& dir : searchPath()) {
        std::error_code ec;
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
            if (entry.path().extension() == ".so" && entry.is_regular_file(ec))
                files.push_back(entry.path().string());
        std::sort(files.begin(), files.end());
        for (const std::string& file : files) {
            if (findLoaded(lastComponent(file)))
                continue; // an earlier folder of the path wins
            std::string error;
            if (load(file, error))
                ++loaded;
            else
                errors.push_back(error);
        }
    }
    return loaded;
}

const OP_DSOModule* OP_DSOLoader::findLoaded(const std::string& fileName) const {
    for (const OP_DSOModule& m : myModules)
        if (lastComponent(m.path) == fileName)
            return &m;
    return nullptr;
}
