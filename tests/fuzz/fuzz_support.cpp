#include "fuzz_support.hpp"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>

namespace mhost::fuzz {

namespace {

// The tokens of every multi-parameter any registered type has, members of
// multi-parameters included ("#" left in).
const std::set<std::string>& multiTokens() {
    static const std::set<std::string> tokens = [] {
        std::set<std::string> found;
        OP_OperatorTable& table = host().table();
        for (int i = 0; i < table.entries(); ++i) {
            for (const PRM_Template* t : table.getOperator(i)->getParmTemplates()) {
                if (t->isMultiParm() && t->getToken())
                    found.insert(t->getToken());
            }
        }
        return found;
    }();
    return tokens;
}

bool countTooLarge(const Json& value) {
    double number = 0.0;
    return jsonToNumber(value, number) && !(number <= kMaxFuzzInstances);
}

} // namespace

Host& host() {
    static Host* instance = [] {
        setenv("MORVANE_DSO_PATH", FUZZ_DSO_DIR, 0);
        auto* made = new Host;
        made->loadModules({});
        return made;
    }();
    return *instance;
}

bool sceneAsksTooMuch(const Json& scene) {
    const Json* nodes = scene.is_object() && scene.contains("nodes") ? &scene["nodes"] : nullptr;
    if (nodes == nullptr || !nodes->is_array())
        return false;
    for (const Json& node : *nodes) {
        if (!node.is_object() || !node.contains("parms") || !node["parms"].is_object())
            continue;
        for (const auto& item : node["parms"].items()) {
            if (multiTokens().count(item.key()) && countTooLarge(item.value()))
                return true;
        }
    }
    return false;
}

bool textAsksTooMuch(std::string_view text) {
    long run = 0;
    for (const char c : text) {
        run = c >= '0' && c <= '9' ? std::min<long>(run * 10 + (c - '0'), 1000000) : 0;
        if (run > kMaxFuzzInstances)
            return true;
    }
    return false;
}

} // namespace mhost::fuzz
