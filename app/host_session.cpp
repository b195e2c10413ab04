#include "host_session.hpp"

#include "errors.hpp"

#include <filesystem>
#include <system_error>

namespace mhost {

Host::Host() {
    OBJinstallHostOperators(table_);
}

bool Host::alreadyLoaded(const std::string& nameOrPath) const {
    namespace fs = std::filesystem;
    const std::string fileName = moduleFileName(nameOrPath);
    const OP_DSOModule* loaded = loader_.findLoaded(fileName);
    if (loaded == nullptr)
        return false;
    if (nameOrPath.find('/') == std::string::npos)
        return true; // a bare file name is satisfied by any module of that name
    std::error_code ec1, ec2;
    const fs::path a = fs::weakly_canonical(nameOrPath, ec1);
    const fs::path b = fs::weakly_canonical(loaded->path, ec2);
    return !ec1 && !ec2 && a == b;
}

void Host::loadModules(const std::vector<std::string>& extra) {
    std::vector<std::string> errors;
    loader_.loadAll(errors);
    if (!errors.empty()) {
        std::string message = "module does not load: " + errors.front();
        for (std::size_t i = 1; i < errors.size(); ++i)
            message += "\nmodule does not load: " + errors[i];
        throw InputError(message);
    }
    for (const std::string& module : extra)
        loadModule(module);
}

void Host::loadModule(const std::string& module) {
    if (alreadyLoaded(module))
        return;
    std::string error;
    if (!loader_.loadByName(module, error))
        throw InputError("module does not load: " + (error.empty() ? module : error));
}

void requireModuleFileName(const std::string& fileName) {
    if (!OP_DSOLoader::isPlainFileName(fileName))
        throw InputError("module " + quote(fileName) +
                         ": a scene names modules by file name only, to be found in the "
                         "module search path");
}

void Host::requireModule(const std::string& fileName) {
    requireModuleFileName(fileName);
    if (loader_.findLoaded(fileName) != nullptr)
        return;
    std::string error;
    if (!loader_.loadFromSearchPath(fileName, error))
        throw InputError("needs module " + quote(fileName) + ", which does not load: " +
                         (error.empty() ? "not found in the module search path" : error));
}

OP_Operator& Host::nodeType(const std::string& name) const {
    if (OP_Operator* op = table_.getOperator(name.c_str()))
        return *op;
    std::string known;
    for (int i = 0; i < table_.entries(); ++i)
        known += std::string(i ? ", " : "") + table_.getOperator(i)->getName();
    throw InputError("unknown node type " + quote(name) + " (known types: " + known + ")",
                     FailureKind::Lookup);
}

Scene::Scene(Host& host)
    : host_(&host), root_(std::make_unique<OP_Network>(&host.table(), "obj")) {}

OP_Node& Scene::node(std::string_view name) const {
    if (OP_Node* found = root_->findNode(name))
        return *found;
    throw InputError("no node named " + quote(name), FailureKind::Lookup);
}

OP_Node& Scene::create(const std::string& type, const std::string& name) {
    OP_Operator& op = host_->nodeType(type);
    if (name.empty())
        throw InputError("a node name must not be empty");
    if (root_->findNode(name) != nullptr)
        throw InputError("a node named " + quote(name) + " already exists");
    OP_Node* made = root_->createNode(op.getName(), name.c_str());
    if (made == nullptr)
        throw RunError("node type " + quote(type) + " made no node");
    if (name != made->getName()) {
        root_->destroyNode(made);
        throw InputError("the host does not accept the node name " + quote(name));
    }
    return *made;
}

std::string describeNode(const OP_Node& node) {
    return "node " + quote(node.getName()) + " (" + node.getOperator()->getName() + ")";
}

OBJ_Node& asObject(OP_Node& node) {
    if (OBJ_Node* object = node.castToOBJNode())
        return *object;
    throw InputError(describeNode(node) + " is not an object");
}

int requireParm(const OP_Node& node, std::string_view token) {
    const int index = node.findParmIndex(token);
    if (index < 0)
        throw InputError(describeNode(node) + " has no parameter " + quote(token),
                         FailureKind::Lookup);
    return index;
}

std::string moduleFileName(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

} // namespace mhost
