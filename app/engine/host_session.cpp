#include "engine/host_session.hpp"

#include "support/errors.hpp"
#include "support/text.hpp"

#include <cmath>
#include <cstdlib>
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
    namespace fs = std::filesystem;
    const char* env = std::getenv("MORVANE_DSO_PATH");
    const std::string from =
        env && *env ? " (on MORVANE_DSO_PATH)" : " (the default module folder)";
    for (const std::string& dir : OP_DSOLoader::searchPath()) {
        std::error_code ec;
        if (!fs::is_directory(dir, ec)) {
            warnings_.push_back("module folder " + quote(dir) + from + " does not exist");
            continue;
        }
        bool any = false;
        for (const auto& entry : fs::directory_iterator(dir, ec))
            any = any || entry.path().extension() == ".so";
        if (!any)
            warnings_.push_back("module folder " + quote(dir) + from + " holds no module (*.so)");
    }
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
    std::vector<std::string> names;
    for (int i = 0; i < table_.entries(); ++i) {
        names.emplace_back(table_.getOperator(i)->getName());
        known += std::string(i ? ", " : "") + names.back();
    }
    const std::string hint = didYouMean(name, names);
    throw InputError("unknown node type " + quote(name) +
                         (hint.empty() ? " (known types: " + known + ")" : hint),
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

void Scene::remove(OP_Node& node) {
    root_->destroyNode(&node);
}

void Scene::rename(OP_Node& node, const std::string& name) {
    if (name.empty())
        throw InputError("a node name must not be empty");
    if (OP_Node* other = root_->findNode(name); other != nullptr && other != &node)
        throw InputError("a node named " + quote(name) + " already exists");
    if (!root_->renameNode(&node, name))
        throw InputError("the host does not accept the node name " + quote(name));
}

std::string describeNode(const OP_Node& node) {
    return "node " + quote(node.getName()) + " (" + node.getOperator()->getName() + ")";
}

Timeline checkedTimeline(double start, double end, double fps) {
    const auto whole = [](double v) {
        return std::isfinite(v) && v == std::floor(v) && std::fabs(v) <= 1e9;
    };
    if (!whole(start) || !whole(end))
        throw InputError("a timeline's first and last frames must be whole numbers");
    if (end < start)
        throw InputError("a timeline's last frame must not come before its first");
    if (end - start + 1 > Timeline::kMaxFrames)
        throw InputError("a timeline holds at most " + std::to_string(Timeline::kMaxFrames) +
                         " frames");
    if (!std::isfinite(fps) || !(fps > 0.0) || fps > 1000.0)
        throw InputError("a timeline's frames per second must be a number above 0, at most 1000");
    return {static_cast<int>(start), static_cast<int>(end), fps};
}

OBJ_Node& asObject(OP_Node& node) {
    if (OBJ_Node* object = node.castToOBJNode())
        return *object;
    throw InputError(describeNode(node) + " is not an object");
}

namespace {

// When token would be an instance of one of the node's lists that the list
// does not hold yet ("getkey2" while "numkeys" is 1), what to do about it.
std::string missingInstance(const OP_Node& node, std::string_view token) {
    for (int i = 0; i < node.getParmCount(); ++i) {
        const PRM_Parm& list = *node.getParm(i);
        if (!list.isMultiParm() || list.getMultiOwner() >= 0)
            continue;
        for (const PRM_Template* m = list.getTemplate().getMultiParmTemplate();
             m && !m->isTerminator(); ++m) {
            const std::string_view member = m->getToken() ? m->getToken() : "";
            const std::size_t hash = member.find('#');
            if (hash == std::string_view::npos ||
                member.find('#', hash + 1) != std::string_view::npos)
                continue;
            const std::string_view prefix = member.substr(0, hash),
                                   suffix = member.substr(hash + 1);
            if (token.size() <= prefix.size() + suffix.size() ||
                token.substr(0, prefix.size()) != prefix ||
                token.substr(token.size() - suffix.size()) != suffix)
                continue;
            const std::string_view digits =
                token.substr(prefix.size(), token.size() - prefix.size() - suffix.size());
            if (digits.empty() || digits.size() > 6 ||
                digits.find_first_not_of("0123456789") != std::string_view::npos)
                continue;
            const int instance = std::stoi(std::string(digits));
            const int count = static_cast<int>(std::llround(list.component(0).constant));
            return " yet: it is instance " + std::to_string(instance) + " of the list " +
                   quote(list.getToken()) + ", which holds " + std::to_string(count) + " (set " +
                   quote(list.getToken()) + " to " + std::to_string(instance) + " or more first)";
        }
    }
    return "";
}

} // namespace

int requireParm(const OP_Node& node, std::string_view token) {
    const int index = node.findParmIndex(token);
    if (index >= 0)
        return index;
    if (const std::string missing = missingInstance(node, token); !missing.empty())
        throw InputError(describeNode(node) + " has no parameter " + quote(token) + missing,
                         FailureKind::Lookup);
    std::vector<std::string> tokens;
    for (int i = 0; i < node.getParmCount(); ++i)
        tokens.emplace_back(node.getParm(i)->getToken());
    throw InputError(describeNode(node) + " has no parameter " + quote(token) +
                         didYouMean(token, tokens),
                     FailureKind::Lookup);
}

std::string moduleFileName(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

} // namespace mhost
