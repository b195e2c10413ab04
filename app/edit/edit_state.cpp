#include "edit/edit_state.hpp"

#include "edit/parm_pane.hpp"
#include "engine/evaluation.hpp"
#include "engine/keyed_node.hpp"
#include "output/svg_plot.hpp"
#include "support/text.hpp"

#include <OP/OP_Operator.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <set>

namespace mhost {

namespace {

bool hasVisibleParm(const OP_Node& node, const char* token) {
    const PRM_Parm* parm = node.findParm(token);
    return parm != nullptr && parm->isVisible();
}

// The selected keyed node's local transform against its driver, across its
// keys, for the plot beside the viewport.
Json plotOf(OBJ_Node& node, float time) {
    const std::vector<KeyMark> keys = readActiveKeys(node);
    if (keys.empty())
        return nullptr;
    auto [low, high] = std::minmax_element(keys.begin(), keys.end(),
                                           [](auto& a, auto& b) { return a.driver < b.driver; });
    double from = low->driver, to = high->driver;
    if (!(to > from)) {
        from -= 1.0;
        to += 1.0;
    }
    const double margin = (to - from) * 0.1;
    const EvalReport report =
        sweepDriver(node, time, SweepRange::checked(from - margin, to + margin, 64));
    PlotLayout layout;
    const std::string svg = renderSweepSvg(report, &layout);
    Json drivers = Json::array();
    for (const CookResult& row : report.rows)
        drivers.push_back(numberToJson(row.driver.value_or(0.0)));
    Json panels = Json::array();
    for (const auto& [top, bottom] : layout.panels)
        panels.push_back({top, bottom});
    return {{"svg", svg.substr(svg.find("<svg"))},
            {"x", layout.rowX},
            {"drivers", drivers},
            {"panels", panels},
            {"driver", numberToJson(node.evalFloat(keyed::kDriver, 0, time))}};
}

// Every time at which one of the node's parameters has a keyframe.
Json keyframeTimes(const OP_Node& node) {
    std::set<float> times;
    for (int p = 0; p < node.getParmCount(); ++p) {
        const PRM_Parm& parm = *node.getParm(p);
        for (int c = 0; c < parm.getVectorSize(); ++c)
            for (const UT_Keyframe& key : parm.component(c).keys)
                times.insert(key.time);
    }
    Json out = Json::array();
    for (const float t : times)
        out.push_back(shortestDouble(t));
    return out;
}

// The node list, column by column, input labels by type.
void describeNodes(const SceneCook& cook, Json& state) {
    const std::span<OP_Node* const> nodes = cook.nodes();
    std::map<const OP_Node*, int> index;
    for (std::size_t i = 0; i < nodes.size(); ++i)
        index[nodes[i]] = static_cast<int>(i);
    std::map<std::string, int> typeIndex;
    Json& types = state["types"];
    for (std::size_t t = 0; t < types.size(); ++t)
        typeIndex[types[t]["name"].get<std::string>()] = static_cast<int>(t);
    Json names = Json::array(), typeOf = Json::array(), inputs = Json::array(),
         flags = Json::array();
    std::set<int> labelled;
    for (OP_Node* node : nodes) {
        names.push_back(node->getName());
        const int type = typeIndex.at(node->getOperator()->getName());
        typeOf.push_back(type);
        if (labelled.insert(type).second) {
            Json labels = Json::array();
            for (unsigned k = 0; k < node->nInputs(); ++k)
                labels.push_back(node->labelForInput(k));
            types[static_cast<std::size_t>(type)]["inputs"] = std::move(labels);
        }
        Json from = Json::array();
        for (unsigned k = 0; k < node->nInputs(); ++k) {
            const OP_Node* input = node->getInput(k);
            from.push_back(input ? index.at(input) : -1);
        }
        inputs.push_back(std::move(from));
        const int flag =
            (node->castToOBJNode() ? 1 : 0) | (isKeyedNode(*node) ? 2 : 0) |
            (hasVisibleParm(*node, OBJ_Token::translate) && hasVisibleParm(*node, OBJ_Token::rotate)
                 ? 4
                 : 0);
        flags.push_back(flag);
    }
    state["nodes"] = {
        {"names", std::move(names)},
        {"types", std::move(typeOf)},
        {"inputs", std::move(inputs)},
        {"flags", std::move(flags)},
    };
}

std::uint64_t numberOf(const std::string& text) {
    std::uint64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

bool acceptsBinary(const std::string& accept) {
    return accept.find("application/octet-stream") != std::string::npos;
}

void putLittle32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xff);
}

} // namespace

PageView pageViewOf(const Json& fields, const std::string& accept) {
    PageView view;
    view.binary = acceptsBinary(accept);
    if (const auto node = fields.find("node"); node != fields.end() && node->is_string())
        view.selected = node->get<std::string>();
    if (const auto frame = fields.find("frame");
        frame != fields.end() && frame->is_number_integer())
        view.frame = frame->get<int>();
    for (const auto& [key, into] :
         {std::pair{"structure", &view.structure}, std::pair{"matrices", &view.matrices}})
        if (const auto v = fields.find(key); v != fields.end() && v->is_number_unsigned())
            *into = v->get<std::uint64_t>();
    return view;
}

PageView pageViewOf(const std::map<std::string, std::string>& query, const std::string& accept) {
    PageView view;
    view.binary = acceptsBinary(accept);
    const auto at = [&](const char* key) {
        const auto found = query.find(key);
        return found == query.end() ? std::string() : found->second;
    };
    view.selected = at("node");
    if (const std::string frame = at("frame"); !frame.empty()) {
        int value = 0;
        const auto [end, error] = std::from_chars(frame.data(), frame.data() + frame.size(), value);
        if (error == std::errc() && end == frame.data() + frame.size())
            view.frame = value;
    }
    view.structure = numberOf(at("structure"));
    view.matrices = numberOf(at("matrices"));
    return view;
}

int viewFrame(const EditSession& session, const PageView& view) {
    return view.frame.value_or(session.scene().timeline().start);
}

StateAnswer describeSession(EditSession& session, SceneCook& cook, const PageView& view) {
    Scene& scene = session.scene();
    const Timeline timeline = scene.timeline();
    const int frame = viewFrame(session, view);
    const float time = timeline.time(frame);
    cook.cook(time);

    Json types = Json::array();
    OP_OperatorTable& table = scene.host().table();
    for (int i = 0; i < table.entries(); ++i) {
        const OP_Operator& op = *table.getOperator(i);
        types.push_back(
            {{"name", op.getName()}, {"label", op.getEnglishName()}, {"inputs", Json::array()}});
    }
    Json journal = nullptr;
    if (const auto& found = session.foundJournal())
        journal = {{"path", found->path},
                   {"edits", found->edits},
                   {"changes", found->changes},
                   {"wholeScene", found->wholeScene},
                   {"started", found->started},
                   {"last", found->last},
                   {"pid", found->pid},
                   {"stopped", found->stopped},
                   {"sceneChanged", found->sceneChanged}};
    StateAnswer answer;
    Json& state = answer.state;
    state = {
        {"scene", session.path()},
        {"version", session.version()},
        {"journal", journal},
        {"unsaved", session.unsaved()},
        {"undo", session.undoable()},
        {"redo", session.redoable()},
        {"timeline", {{"start", timeline.start}, {"end", timeline.end}, {"fps", timeline.fps}}},
        {"frame", frame},
        {"time", shortestDouble(time)},
        {"types", std::move(types)},
        {"structure", cook.structure()}};
    // The types' input labels come with the list.
    if (view.structure != cook.structure())
        describeNodes(cook, state);
    else
        state.erase("types");

    Json messages = Json::object();
    for (const std::uint32_t i : cook.nodesWithMessages()) {
        Json list = Json::array();
        for (const OP_ErrorEntry& e : cook.nodes()[i]->getErrors())
            list.push_back(e.message);
        messages[cook.nodes()[i]->getName()] = std::move(list);
    }
    state["messages"] = std::move(messages);

    if (view.binary)
        answer.changed = cook.changedSince(view.matrices < cook.structure() ? 0 : view.matrices);
    state["matrices"] = {{"format", "float32"},
                         {"of", "world"},
                         {"version", cook.version()},
                         {"count", answer.changed.size()},
                         {"full", view.binary && answer.changed.size() == cook.nodes().size()}};

    OP_Node* chosen = view.selected.empty() ? nullptr : scene.root().findNode(view.selected);
    state["selected"] = chosen ? Json(chosen->getName()) : Json(nullptr);
    state["pane"] = chosen ? describePane(*chosen, time) : Json(nullptr);
    state["plot"] = nullptr;
    state["world"] = nullptr;
    state["keyframes"] = Json::array();
    if (chosen) {
        state["keyframes"] = keyframeTimes(*chosen);
        if (OBJ_Node* object = chosen->castToOBJNode()) {
            const CookResult cooked = cookNode(*object, time);
            Json world = Json::array();
            for (const double v : cooked.world)
                world.push_back(numberToJson(v));
            state["world"] = std::move(world);
            if (isKeyedNode(*chosen))
                state["plot"] = plotOf(*object, time);
        }
    }
    return answer;
}

std::string encodeState(const StateAnswer& answer, const SceneCook& cook, bool binary) {
    static_assert(std::endian::native == std::endian::little,
                  "the matrices are copied as the page reads them, little-endian");
    // A message may quote bytes of a request that are not UTF-8.
    const std::string json = answer.state.dump(-1, ' ', false, Json::error_handler_t::replace);
    if (!binary)
        return json;
    std::string out = "MHST";
    const std::size_t count = answer.changed.size();
    out.reserve(8 + json.size() + 4 + 4 + count * (4 + 64));
    putLittle32(out, static_cast<std::uint32_t>(json.size()));
    out += json;
    out.append((4 - out.size() % 4) % 4, '\0');
    putLittle32(out, static_cast<std::uint32_t>(count));
    for (const std::uint32_t i : answer.changed)
        putLittle32(out, i);
    const std::size_t at = out.size();
    out.resize(at + count * 16 * sizeof(float));
    char* floats = out.data() + at;
    for (std::size_t k = 0; k < count; ++k) {
        const double* world = cook.world(answer.changed[k]);
        for (int e = 0; e < 16; ++e) {
            const float v = static_cast<float>(world[e]);
            std::memcpy(floats + (k * 16 + static_cast<std::size_t>(e)) * sizeof(float), &v,
                        sizeof v);
        }
    }
    return out;
}

} // namespace mhost
