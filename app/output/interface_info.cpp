#include "output/interface_info.hpp"
#include "support/text.hpp"

#include <OP/OP_Operator.h>

#include <algorithm>

namespace mhost {

namespace {

std::string typeName(const PRM_Template& t) {
    if (t.isMultiParm())
        return t.getMultiType() == PRM_MULTITYPE_SCROLL ? "multi-scroll" : "multi-list";
    const PRM_Type type = t.getType();
    if (type.isOrdinal() && !type.isToggle() && t.getChoiceListPtr() != nullptr)
        return "menu";
    return type.describe();
}

Json defaultsOf(const PRM_Template& t) {
    const PRM_Default* defaults = t.getFactoryDefaults();
    if (t.isMultiParm())
        return defaults ? defaults[0].getFloat() : 0.0;
    Json list = Json::array();
    if (!t.getType().holdsValue())
        return list;
    for (int c = 0; c < t.getVectorSize(); ++c) {
        if (t.getType().isString()) {
            const char* text = defaults ? defaults[c].getString() : nullptr;
            list.push_back(text ? text : "");
        } else {
            list.push_back(numberToJson(defaults ? defaults[c].getFloat() : 0.0));
        }
    }
    return list;
}

Json describeTemplate(const PRM_Template& t) {
    Json j;
    j["token"] = t.getToken() ? t.getToken() : "";
    j["label"] = t.getLabel() ? t.getLabel() : "";
    j["type"] = typeName(t);
    j["size"] = t.getVectorSize();
    j["default"] = defaultsOf(t);
    if (const PRM_ChoiceList* menu = t.getChoiceListPtr()) {
        Json items = Json::array();
        for (int i = 0; i < menu->getCount(); ++i) {
            const PRM_Name* item = menu->getItem(i);
            items.push_back({{"token", item->getToken() ? item->getToken() : ""},
                             {"label", item->getLabel() ? item->getLabel() : ""}});
        }
        j["menu"] = items;
    }
    j["visible"] = !t.getType().isInvisible();
    j["callback"] = t.getCallback() != nullptr;
    if (t.isMultiParm()) {
        Json members = Json::array();
        for (const PRM_Template* m = t.getMultiParmTemplate(); m && !m->isTerminator(); ++m)
            members.push_back(describeTemplate(*m));
        j["members"] = members;
    }
    return j;
}

// Describes flat[pos, end), each folder switcher taking the templates its
// folders enclose.
Json describeRange(const std::vector<const PRM_Template*>& flat, std::size_t& pos,
                   std::size_t end) {
    Json list = Json::array();
    while (pos < end) {
        const PRM_Template& t = *flat[pos++];
        Json entry = describeTemplate(t);
        if (t.getType().isSwitcher()) {
            entry.erase("default");
            Json folders = Json::array();
            const PRM_Default* defaults = t.getFactoryDefaults();
            for (int f = 0; f < t.getVectorSize(); ++f) {
                const int count = defaults ? std::max(0, defaults[f].getOrdinal()) : 0;
                const char* label = defaults ? defaults[f].getString() : nullptr;
                const std::size_t folderEnd = std::min(end, pos + static_cast<std::size_t>(count));
                Json folder;
                folder["label"] = label ? label : "";
                folder["count"] = count;
                folder["parameters"] = describeRange(flat, pos, folderEnd);
                folders.push_back(std::move(folder));
            }
            entry["folders"] = folders;
        }
        list.push_back(std::move(entry));
    }
    return list;
}

Json describeType(const OP_Operator& op) {
    Json j;
    j["name"] = op.getName();
    j["label"] = op.getEnglishName();
    j["module"] = op.getModulePath().empty() ? Json(nullptr) : Json(op.getModulePath());
    j["minInputs"] = op.getMinInputs();
    j["maxInputs"] = op.getMaxInputs();
    j["inputs"] = Json::array(); // filled from a node of the type by describeInterface
    const auto& flat = op.getParmTemplates();
    std::size_t pos = 0;
    j["parameters"] = describeRange(flat, pos, flat.size());
    return j;
}

} // namespace

Json describeInterface(Host& host, const std::vector<std::string>& only) {
    std::vector<const OP_Operator*> chosen;
    for (const std::string& name : only)
        chosen.push_back(&host.nodeType(name));
    const auto shown = [&](const OP_Operator& op) {
        return only.empty() || std::find(chosen.begin(), chosen.end(), &op) != chosen.end();
    };
    Json j;
    Json modules = Json::array();
    for (const OP_DSOModule& module : host.loader().modules()) {
        if (!only.empty() &&
            std::none_of(module.types.begin(), module.types.end(),
                         [&](const std::string& type) { return shown(host.nodeType(type)); }))
            continue;
        modules.push_back({{"file", module.path},
                           {"version", module.version},
                           {"tag", module.tag},
                           {"types", module.types}});
    }
    j["modules"] = modules;
    Json types = Json::array();
    // Input labels come from a node of each type, as the network editor shows them.
    OP_Network scratch(&host.table(), "info");
    for (int i = 0; i < host.table().entries(); ++i) {
        OP_Operator& op = *host.table().getOperator(i);
        if (!shown(op))
            continue;
        Json type = describeType(op);
        Json inputs = Json::array();
        if (OP_Node* node = scratch.createNode(op.getName(), nullptr)) {
            for (unsigned k = 0; k < node->nInputs(); ++k)
                inputs.push_back({{"index", k}, {"label", node->labelForInput(k)}});
            scratch.destroyNode(node);
        }
        type["inputs"] = inputs;
        types.push_back(std::move(type));
    }
    j["types"] = types;
    return j;
}

namespace {

std::string joinDefaults(const Json& d) {
    if (d.is_number())
        return formatShortest(d.get<double>());
    if (!d.is_array())
        return d.dump();
    std::string text;
    for (const Json& v : d) {
        text += (text.empty() ? "" : " ");
        if (v.is_string())
            text += quote(v.get<std::string>());
        else if (v.is_number())
            text += formatShortest(v.get<double>());
        else
            text += v.dump();
    }
    return text;
}

void addRows(const Json& parms, int depth, std::vector<std::vector<std::string>>& rows) {
    const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
    for (const Json& p : parms) {
        std::string menu;
        if (p.contains("menu")) {
            for (const Json& item : p["menu"])
                menu += (menu.empty() ? "" : " | ") + item["token"].get<std::string>();
        }
        std::string flags = p["visible"].get<bool>() ? "" : "hidden";
        if (p["callback"].get<bool>())
            flags += flags.empty() ? "callback" : ", callback";
        rows.push_back({indent + p["token"].get<std::string>(), p["label"].get<std::string>(),
                        p["type"].get<std::string>(), std::to_string(p["size"].get<int>()),
                        p.contains("default") ? joinDefaults(p["default"]) : "", menu, flags});
        if (p.contains("folders")) {
            for (const Json& folder : p["folders"]) {
                rows.push_back({indent + "  [folder \"" + folder["label"].get<std::string>() +
                                    "\": " + std::to_string(folder["count"].get<int>()) +
                                    " parameters]",
                                "", "", "", "", "", ""});
                addRows(folder["parameters"], depth + 2, rows);
            }
        }
        if (p.contains("members")) {
            rows.push_back({indent + "  [instance members]", "", "", "", "", "", ""});
            addRows(p["members"], depth + 2, rows);
        }
    }
}

} // namespace

void printInterface(const Json& description, std::ostream& out) {
    out << "Modules:\n";
    if (description["modules"].empty())
        out << "  (none)\n";
    for (const Json& m : description["modules"]) {
        std::string types;
        for (const Json& t : m["types"])
            types += (types.empty() ? "" : ", ") + t.get<std::string>();
        // A long build tag is shortened here; the JSON keeps it whole.
        const std::string tag = m["tag"].get<std::string>();
        constexpr std::size_t kShown = 24;
        const std::string shownTag = tag.size() <= kShown + 16
                                         ? quote(tag)
                                         : quote(tag.substr(0, kShown) + "...") + " (" +
                                               std::to_string(tag.size()) +
                                               " characters; --json shows it whole)";
        out << "  " << m["file"].get<std::string>() << "\n    version "
            << m["version"].get<std::string>() << ", tag " << shownTag << ", types: " << types
            << "\n";
    }
    for (const Json& t : description["types"]) {
        out << "\nNode type \"" << t["name"].get<std::string>() << "\" (\""
            << t["label"].get<std::string>() << "\"), from "
            << (t["module"].is_null() ? std::string("the host") : t["module"].get<std::string>())
            << "\n  inputs:";
        if (t["inputs"].empty())
            out << " none";
        for (const Json& input : t["inputs"])
            out << " " << input["index"].get<unsigned>() << " \""
                << input["label"].get<std::string>() << "\"";
        out << " (min " << t["minInputs"].get<unsigned>() << ", max "
            << t["maxInputs"].get<unsigned>() << ")\n";
        std::vector<std::vector<std::string>> rows{
            {"token", "label", "type", "size", "default", "menu", "flags"}};
        addRows(t["parameters"], 0, rows);
        std::string table = alignColumns(rows, std::vector<bool>(7, true));
        std::string indented;
        std::size_t start = 0;
        while (start < table.size()) {
            const std::size_t nl = table.find('\n', start);
            indented += "  " + table.substr(start, nl - start + 1);
            start = nl + 1;
        }
        out << indented;
    }
}

} // namespace mhost
