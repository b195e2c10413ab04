#include "edit/parm_pane.hpp"

#include <OP/OP_Operator.h>
#include <PRM/PRM_ChoiceList.h>
#include <PRM/PRM_Default.h>
#include <PRM/PRM_Parm.h>
#include <PRM/PRM_Range.h>

#include <algorithm>
#include <cmath>

namespace mhost {

namespace {

class PaneWriter {
public:
    PaneWriter(const OP_Node& node, float time) : node_(node), time_(time) {}

    // The items of entries [begin, end) of the node's list; an entry is one
    // parameter with, for a list, all its instances.
    Json items(int begin, int end) const {
        Json list = Json::array();
        for (int i = begin; i < end;) {
            const PRM_Parm& parm = *node_.getParm(i);
            int next = pastEntry(i);
            if (parm.getType().isSwitcher()) {
                Json folders = Json::array();
                const PRM_Default* defaults = parm.getTemplate().getFactoryDefaults();
                for (int f = 0; f < parm.getVectorSize(); ++f) {
                    const int count = defaults ? std::max(0, defaults[f].getOrdinal()) : 0;
                    const char* label = defaults ? defaults[f].getString() : nullptr;
                    const int first = next;
                    for (int n = 0; n < count && next < end; ++n)
                        next = pastEntry(next);
                    folders.push_back(
                        {{"label", label ? label : ""}, {"items", items(first, next)}});
                }
                if (parm.isVisible())
                    list.push_back({{"kind", "folders"},
                                    {"token", parm.getToken()},
                                    {"folders", std::move(folders)}});
            } else if (parm.isVisible()) {
                list.push_back(item(i, next));
            }
            i = next;
        }
        return list;
    }

private:
    // Whether parameter j sits in the list at index `list`, at any depth.
    bool inside(int j, int list) const {
        for (int o = node_.getParm(j)->getMultiOwner(); o >= 0;
             o = node_.getParm(o)->getMultiOwner())
            if (o == list)
                return true;
        return false;
    }

    // The index just past parameter i and all it holds.
    int pastEntry(int i) const {
        int j = i + 1;
        while (j < node_.getParmCount() && inside(j, i))
            ++j;
        return j;
    }

    Json item(int i, int end) const {
        const PRM_Parm& parm = *node_.getParm(i);
        const PRM_Template& tmpl = parm.getTemplate();
        const PRM_Type type = parm.getType();
        Json j{
            {"token", parm.getToken()}, {"label", parm.getLabel()}, {"enabled", parm.isEnabled()}};
        if (parm.isMultiParm()) {
            j["kind"] = "multi";
            j["count"] = static_cast<long long>(std::llround(parm.component(0).valueAt(time_)));
            Json instances = Json::array();
            for (int k = i + 1; k < end;) {
                const int number = node_.getParm(k)->getInstance();
                int last = pastEntry(k);
                while (last < end && node_.getParm(last)->getInstance() == number)
                    last = pastEntry(last);
                instances.push_back({{"number", number}, {"items", items(k, last)}});
                k = last;
            }
            j["instances"] = std::move(instances);
            return j;
        }
        if (type.isSeparator())
            return {{"kind", "separator"}, {"token", parm.getToken()}};
        if (type.isButton()) {
            j["kind"] = "button";
            return j;
        }
        const PRM_ChoiceList* menu = tmpl.getChoiceListPtr();
        if (type.isString())
            j["kind"] = "string";
        else if (type.isToggle())
            j["kind"] = "toggle";
        else if (type.isOrdinal() && menu != nullptr)
            j["kind"] = "menu";
        else if (type.isOrdinal())
            j["kind"] = "int";
        else
            j["kind"] = "float";
        j["size"] = parm.getVectorSize();
        Json values = Json::array();
        for (int c = 0; c < parm.getVectorSize(); ++c) {
            const PRM_Component& component = parm.component(c);
            if (type.isString())
                values.push_back(component.text());
            else
                values.push_back(numberToJson(component.valueAt(time_)));
        }
        j["values"] = std::move(values);
        // Keyframes: whether any component has them, and one at time.
        bool animated = false, keyed = false;
        for (int c = 0; c < parm.getVectorSize(); ++c)
            for (const UT_Keyframe& key : parm.component(c).keys) {
                animated = true;
                keyed = keyed || key.time == time_;
            }
        j["animated"] = animated;
        j["keyed"] = keyed;
        j["join"] = (type.optionWord() & PRM_Type::OPT_JOIN_NEXT) != 0;
        if (j["kind"] == "menu") {
            Json items = Json::array();
            for (int m = 0; m < menu->getCount(); ++m) {
                const PRM_Name* name = menu->getItem(m);
                items.push_back({{"token", name->getToken() ? name->getToken() : ""},
                                 {"label", name->getLabel() ? name->getLabel() : ""}});
            }
            j["menu"] = std::move(items);
        }
        if (j["kind"] == "float") {
            j["slider"] = (type.optionWord() & PRM_Type::OPT_SLIDER) != 0;
            const PRM_Range* range = tmpl.getRangePtr();
            j["range"] = range ? Json{range->getMin(), range->getMax()} : Json{0.0, 1.0};
        }
        return j;
    }

    const OP_Node& node_;
    float time_;
};

} // namespace

Json describePane(const OP_Node& node, float time) {
    return {{"node", node.getName()},
            {"type", node.getOperator()->getName()},
            {"items", PaneWriter(node, time).items(0, node.getParmCount())}};
}

} // namespace mhost
